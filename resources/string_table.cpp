#include "string_table.h"

#include "resource_ids.h"

namespace halvern::res {

const char* LoadResString(int id) {
  switch (id) {
    case IDS_APP_TITLE:
      return "Velmora Halvern";
    default:
      return "";
  }
}

}  // namespace halvern::res
