#pragma once
// The site check: fetches one URL entry's address on a worker thread of its own,
// judges the answer, logs the outcome, saves the job's copy of the entry and
// shows progress and outcome in the entry's row of the URL list.
//
// Ownership: the check run creates a CheckJob and hands it, with a heap copy of
// the entry, to StartCheckJob; from then on the worker owns both. The worker's
// last act is posting UM_CHECK_DONE (wParam = the CheckJob*, lParam = outcome)
// to mainWindow; the handler of that message takes the job back with
// TakeCheckJob(wParam), which joins the (ending) worker thread, and frees it by
// letting the unique_ptr go. A job must be taken back exactly once.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "internet.h"

namespace halvern {

class Clock;
class ManualResetEvent;
class SettingsStore;
class UrlList;
class WindowHost;
struct UrlEntry;

inline constexpr char16_t kMagicWord[] = u"BrankolvistPassed";
inline constexpr char16_t kAgentName[] = u"Velmora Halvern";
inline constexpr std::size_t kReadChunk = 1024;
inline constexpr std::uint32_t kInternetTimeoutMs = 60000;
inline constexpr char16_t kUnknownModeText[] = u"Unknown check mode.";

// Outcome of a check, as posted in lParam of UM_CHECK_DONE.
inline constexpr std::intptr_t kCheckFailed = 0;  // failed or cancelled
inline constexpr std::intptr_t kCheckPassed = 1;

// What a worker uses besides its job; all of it thread-safe and outliving every
// job that refers to it.
struct CheckServices {
  SettingsStore& store;
  const Clock& clock;
  Internet& internet;
  // The connect, receive and send timeouts given to every session and request.
  std::uint32_t internetTimeoutMs = kInternetTimeoutMs;
};

// Starts a thread running `body`. Throws std::system_error, as std::thread
// does, when the system cannot create one. Empty: std::thread itself.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;
[[nodiscard]] std::thread StartThread(const ThreadStarter& starter, std::function<void()> body);

// Shown and logged when a check's worker thread cannot be started; the row
// adds the system's reason after " Code: ".
inline constexpr char16_t kThreadFailureText[] = u"Cannot start the check.";

struct CheckJob {
  CheckJob(WindowHost* mainWindow, UrlList* listWindow, ManualResetEvent* cancelEvent,
           std::int32_t retryAllowed, const CheckServices& services);
  // Joins the worker thread when it still runs; only destroy a job that has
  // posted UM_CHECK_DONE or was never started.
  ~CheckJob();
  CheckJob(const CheckJob&) = delete;
  CheckJob& operator=(const CheckJob&) = delete;

  std::int32_t retryAllowed;        // 1 scheduled run or retry, 0 manual; read by the run
  std::unique_ptr<UrlEntry> entry;  // the job's own copy; set by StartCheckJob
  WindowHost* mainWindow;           // receives UM_CHECK_DONE; its Send reaches the list
  UrlList* listWindow;              // used only inside mainWindow->Send
  ManualResetEvent* cancelEvent;    // the download event: set = stop
  std::thread thread;               // the worker; set by StartCheckJob
  CheckServices services;
  // A progress text not shown yet (the download paces them); the next row
  // update shows it first. Worker only.
  std::u16string heldProgress;
};

// Gives `job` its entry copy and starts CheckWorker on a new thread; returns at
// once. The worker owns the job until it posts UM_CHECK_DONE. Should the thread
// not start, the failure is recorded on the calling thread like any failed
// check (logged, saved, shown), the job is posted with outcome 0 and false is
// returned.
bool StartCheckJob(std::unique_ptr<CheckJob> job, std::unique_ptr<UrlEntry> entryCopy,
                   const ThreadStarter& starter = {});

// Takes back the job that UM_CHECK_DONE carries in wParam; waits for its worker
// thread to end (it has nothing left to do after posting). Window thread only.
std::unique_ptr<CheckJob> TakeCheckJob(std::uintptr_t wParam);

// The worker's whole run; ends by posting UM_CHECK_DONE. Returns 0.
std::uint32_t CheckWorker(CheckJob* job);

// Opens a session by ProxyMode, ProxyAddress and ProxyPort; none for a
// ProxyMode other than 0, 1 and 2.
SessionResult OpenInternetSession(SettingsStore& store, Internet& internet);
// Connect, receive and send timeouts of `timeoutMs` each; false at the first
// refusal.
bool SetInternetTimeouts(InternetHandle& handle, std::uint32_t timeoutMs = kInternetTimeoutMs);
// The proxy text "host:port" of ProxyMode 2, at most 1023 units.
std::u16string FormatProxyText(const std::u16string& address, std::int32_t port);

// Shows `text` in the Status column of the entry's row and sets its image (0-3,
// anything else shows 0), synchronously on the window's thread. A missing row
// only skips the update.
void SetRowStatus(CheckJob& job, const std::u16string& text, int image);
// Progress text after `received` bytes.
std::u16string ProgressText(std::uint32_t received);

// Judges a complete answer and records it; `body` is the text a script check
// kept. Returns the outcome; a mode other than download and script is recorded
// as a failure ("Unknown check mode.").
std::intptr_t JudgeResponse(CheckJob& job, std::uint32_t contentLength, std::uint32_t received,
                            const std::u16string& body, const std::u16string& statusText);
// Logs, saves the copy (only over the same entry still stored) and shows the
// outcome. `error` with a code appends " Code: " and its message to the row.
bool RecordOutcome(CheckJob& job, bool passed, std::u16string_view text,
                   const InternetError& error = {});

// Position of the first occurrence of `word` in `text`, exact UTF-16 units; an
// empty word is found at 0.
std::optional<std::size_t> FindText(std::u16string_view text, std::u16string_view word);

// Whether a content type is text: its first 5 characters are "text/", any case.
bool IsTextContentType(std::u16string_view contentType);

// The script check's search state: keeps only the tail of the text that a match
// across the next chunk border needs, so memory stays bounded. Once the word is
// found, `text` holds it and nothing more is appended.
class MagicWordScan {
 public:
  // Appends a chunk (read as the single-byte code page, up to its first zero).
  void Append(const char* chunk, std::size_t size);
  const std::u16string& text() const { return text_; }
  bool found() const { return found_; }

 private:
  std::u16string text_;
  bool found_ = false;
};

}  // namespace halvern
