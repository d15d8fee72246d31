#include "resource_data.h"

#include <QtCore/QDir>

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitQrc() { Q_INIT_RESOURCE(resources); }

namespace halvern::res {

void InitResourceData() {
  static const bool done = [] {
    InitQrc();
    return true;
  }();
  (void)done;
}

}  // namespace halvern::res
