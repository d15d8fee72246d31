// Halvern: the web-site monitor's main program. It takes no command line.

#include <openssl/crypto.h>
#include <sys/resource.h>

#include <QtWidgets/QApplication>

#include "curl_internet.h"
#include "monitor_app.h"
#include "worker_threads.h"

namespace {

// Every running check holds a few descriptors (its socket and libcurl's own),
// and a run starts one check per due address at once: allow what the system
// allows rather than the usual soft limit of 1024.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// The program ends without waiting for running checks, so OpenSSL must not
// tear its global state down at exit under a check that is still doing TLS:
// asked first without its exit handler, it keeps it until the process is gone.
void KeepTlsStateUntilTheEnd() {
  static_cast<void>(OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr));
}

}  // namespace

int main(int argc, char** argv) {
  RaiseDescriptorLimit();
  // Once, before the first thread; a run may have thousands of them waiting.
  static_cast<void>(halvern::SizeFutexHash(halvern::kFutexHashSlots));
  KeepTlsStateUntilTheEnd();
  halvern::InitCurlGlobal();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Velmora Halvern"));
  QApplication::setDesktopFileName(QStringLiteral("io.velmora.Halvern"));
  // Hiding the main window or closing a dialog never ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  return halvern::ui::CMonitorApp().Run();
}
