// Reference for the check benchmark: fetches the benchmark's addresses with
// libcurl's multi interface on one thread, 64 transfers in flight, judging
// status 200 and, for script addresses, the magic word. Prints
// "wall_ms cpu_ms maxrss_kb passed".
//
//   multi_reference <port> <count>

#include <curl/curl.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_mix.h"

namespace {

constexpr int kInFlight = 64;
constexpr char kWord[] = "BrankolvistPassed";

struct Transfer {
  CURL* easy = nullptr;
  bool script = false;
  std::string tail;  // script answers: text kept for the word search
  bool found = false;
};

std::size_t OnWrite(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  if (t->script && !t->found) {
    t->tail.append(data, n);
    if (t->tail.find(kWord) != std::string::npos) {
      t->found = true;
    } else if (t->tail.size() > sizeof kWord) {
      t->tail.erase(0, t->tail.size() - (sizeof kWord - 2));
    }
  }
  return n;
}

double CpuMs(const rusage& u) {
  return u.ru_utime.tv_sec * 1e3 + u.ru_utime.tv_usec / 1e3 + u.ru_stime.tv_sec * 1e3 +
         u.ru_stime.tv_usec / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: multi_reference <port> <count>\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int count = std::atoi(argv[2]);
  curl_global_init(CURL_GLOBAL_DEFAULT);

  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();

  CURLM* multi = curl_multi_init();
  std::vector<std::unique_ptr<Transfer>> transfers(count);
  int next = 0;
  int active = 0;
  int passed = 0;
  const auto add = [&] {
    auto t = std::make_unique<Transfer>();
    const halvern::bench::MixItem item = halvern::bench::MixAt(next);
    const std::string url = halvern::bench::MixUrl(port, next);
    t->script = item.script;
    t->easy = curl_easy_init();
    curl_easy_setopt(t->easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(t->easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(t->easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(t->easy, CURLOPT_USERAGENT, "Velmora Halvern");
    curl_easy_setopt(t->easy, CURLOPT_PROXY, "");
    curl_easy_setopt(t->easy, CURLOPT_WRITEFUNCTION, OnWrite);
    curl_easy_setopt(t->easy, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(t->easy, CURLOPT_PRIVATE, t.get());
    curl_multi_add_handle(multi, t->easy);
    transfers[next++] = std::move(t);
    ++active;
  };
  while (next < count && active < kInFlight) add();
  while (active > 0) {
    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* m = curl_multi_info_read(multi, &queued)) {
      if (m->msg != CURLMSG_DONE) continue;
      Transfer* t = nullptr;
      curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &t);
      long code = 0;
      curl_easy_getinfo(m->easy_handle, CURLINFO_RESPONSE_CODE, &code);
      if (m->data.result == CURLE_OK && code == 200 && (!t->script || t->found)) ++passed;
      curl_multi_remove_handle(multi, m->easy_handle);
      curl_easy_cleanup(m->easy_handle);
      t->easy = nullptr;
      t->tail.clear();
      --active;
      if (next < count) add();
    }
    if (active > 0) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  curl_multi_cleanup(multi);

  const auto wall = std::chrono::steady_clock::now() - start;
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  std::printf("%.1f %.1f %ld %d\n", std::chrono::duration<double, std::milli>(wall).count(),
              CpuMs(after) - CpuMs(before), after.ru_maxrss, passed);
  curl_global_cleanup();
  return 0;
}
