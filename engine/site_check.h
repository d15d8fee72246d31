#pragma once
// The site check: fetches one URL entry's address on a worker thread of its own,
// judges the answer, logs the outcome, saves the job's copy of the entry and
// shows progress and outcome in the entry's row of the URL list.
//
// Ownership, one owner at a time: the check run creates a CheckJob and hands
// it, with a heap copy of the entry, to StartCheckJob; from then on the worker
// owns both. The worker's last act is posting UM_CHECK_DONE (lParam = outcome)
// with the job as the message's payload: the queued message owns it, then the
// handler, which gets it back with TakeCheckJob and frees it by letting it go.
// A message the window host drops frees its job by being destroyed.
//
// A worker may still run when the program ends: the job holds what it uses
// (store, clock, internet layer, window host, download event) by shared
// ownership, so none of it can be torn down under it.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "check_kind.h"
#include "internet.h"
#include "window_host.h"
#include "worker_pool.h"

namespace halvern {

class Clock;
class ManualResetEvent;
class SettingsStore;
class UrlList;
struct UrlEntry;

inline constexpr char16_t kMagicWord[] = u"BrankolvistPassed";
inline constexpr char16_t kAgentName[] = u"Velmora Halvern";
inline constexpr std::size_t kReadChunk = 1024;
inline constexpr std::uint32_t kInternetTimeoutMs = 60000;
inline constexpr char16_t kUnknownModeText[] = u"Unknown check mode.";

// Outcome of a check, as posted in lParam of UM_CHECK_DONE.
inline constexpr std::intptr_t kCheckFailed = 0;  // failed or cancelled
inline constexpr std::intptr_t kCheckPassed = 1;

// What a worker uses besides its job; all of it thread-safe. Each job holds
// its share, so a worker that outlives the window still uses live objects.
struct CheckServices {
  std::shared_ptr<SettingsStore> store;
  std::shared_ptr<const Clock> clock;
  std::shared_ptr<Internet> internet;
  // The connect, receive and send timeouts given to every session and request.
  std::uint32_t internetTimeoutMs = kInternetTimeoutMs;
};

// Shown and logged when a check's worker thread cannot be started; the row
// adds the system's reason after " Code: ".
inline constexpr char16_t kThreadFailureText[] = u"Cannot start the check.";

struct CheckJob final : MessagePayload {
  CheckJob(std::shared_ptr<WindowHost> mainWindow, UrlList* listWindow,
           std::shared_ptr<ManualResetEvent> cancelEvent, std::int32_t retryAllowed,
           CheckServices services);
  CheckJob(const CheckJob&) = delete;
  CheckJob& operator=(const CheckJob&) = delete;

  std::int32_t retryAllowed;  // 1 scheduled run or retry, 0 manual; read by the run
  // Why the check was started; set by the run before it starts the job.
  CheckKind kind = CheckKind::ManualRun;
  // The stored entry's failureCount and lastSuccessTime when the check was
  // started (a manual check's copy starts from a count of 0).
  std::int32_t failureCountBefore = 0;
  std::int64_t lastSuccessBefore = 0;
  std::unique_ptr<UrlEntry> entry;  // the job's own copy; set by StartCheckJob
  // Receives UM_CHECK_DONE; its Send reaches the list. A host whose window is
  // gone drops posts and runs no Send.
  std::shared_ptr<WindowHost> mainWindow;
  // The window's list: touched only inside mainWindow->Send, which runs its
  // calls only while the window lives.
  UrlList* listWindow;
  std::shared_ptr<ManualResetEvent> cancelEvent;  // the download event: set = stop
  CheckServices services;
  // A progress text not shown yet (the download paces them); the next row
  // update shows it first. Worker only.
  std::u16string heldProgress;
  // StartCheckJob has shown "Connecting..." on the window's thread already,
  // so the worker starts without a row update of its own.
  bool connectingShown = false;
  // Set by the worker: the check was stopped (Stop, or the window's end)
  // before it had an outcome. Nothing was recorded.
  bool cancelled = false;
  // Set by RecordOutcome: the row's status text after "Failed. " of a
  // failure, empty for a pass.
  std::u16string failureText;
  // What the check measured, for its history row; the worker sets it before
  // it records the outcome.
  struct Measured {
    std::uint32_t httpStatus = 0;              // 0: no answer came
    std::optional<TransferTimings> timings;    // none before a request was made
    std::optional<std::uint64_t> bytes;        // body bytes; none when no answer came
    std::optional<std::int64_t> certNotAfter;  // the server certificate's earliest expiry
  } measured;
};

// On the window's thread: gives `job` its entry copy, shows "Connecting..." in
// its row and starts CheckWorker on a thread of `workers`; returns at once.
// The worker owns the job until it posts UM_CHECK_DONE. Should no thread
// start, the failure is recorded on the calling thread like any failed check
// (logged, saved, shown, " Code: " and the system's reason), the job is posted
// with outcome 0 and false is returned.
bool StartCheckJob(std::unique_ptr<CheckJob> job, std::unique_ptr<UrlEntry> entryCopy,
                   WorkerPool& workers);

// The job that a UM_CHECK_DONE carries; nothing when the payload is not one
// (it is then freed).
std::unique_ptr<CheckJob> TakeCheckJob(std::unique_ptr<MessagePayload> payload);

// The worker's whole run; ends by posting UM_CHECK_DONE with the job.
void CheckWorker(std::unique_ptr<CheckJob> job);

// Opens a session by ProxyMode, ProxyAddress and ProxyPort; none for a
// ProxyMode other than 0, 1 and 2.
SessionResult OpenInternetSession(SettingsStore& store, Internet& internet);
// Connect, receive and send timeouts of `timeoutMs` each; false at the first
// refusal.
[[nodiscard]] bool SetInternetTimeouts(InternetHandle& handle,
                                       std::uint32_t timeoutMs = kInternetTimeoutMs);
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
