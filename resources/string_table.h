#pragma once
// The string table.

namespace halvern::res {

// The string of that id (UTF-8), or an empty string.
const char* LoadResString(int id);

// The maker's home page, opened by "Visit Velmora WebSite".
inline constexpr const char* kHomePage = "https://velmora.example/halvern/";

}  // namespace halvern::res
