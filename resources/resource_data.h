#pragma once
// The compiled-in resource data (icons, from resources.qrc) lives in a static
// library; call InitResourceData once before loading an icon so that the linker
// keeps it and Qt registers it. Repeated calls do nothing more.

namespace halvern::res {

void InitResourceData();

}  // namespace halvern::res
