#pragma once
// The address mix of the check benchmarks, per 20 addresses: 12 small pages,
// 2 pages of 1 MB, 2 script answers with the magic word, 2 answers 404, 1
// answer 500, 1 answer that waits 2 s before its body. Shared by the check
// benchmark and the libcurl multi reference so both fetch the same addresses.

#include <string>

namespace halvern::bench {

struct MixItem {
  std::string path;
  bool script = false;
  bool expectPass = false;
};

inline MixItem MixAt(int i) {
  const std::string query = "?i=" + std::to_string(i);
  switch (i % 20) {
    case 12:
    case 13:
      return {"/mb" + query, false, true};
    case 14:
    case 15:
      return {"/script" + query, true, true};
    case 16:
    case 17:
      return {"/missing" + query, false, false};
    case 18:
      return {"/error" + query, false, false};
    case 19:
      return {"/slow" + query, false, true};
    default:
      return {"/small" + query, false, true};
  }
}

inline std::string MixUrl(int port, int i) {
  return "http://127.0.0.1:" + std::to_string(port) + MixAt(i).path;
}

}  // namespace halvern::bench
