#include "site_check.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "check_history.h"
#include "check_log.h"
#include "clock.h"
#include "event.h"
#include "settings.h"
#include "url_entry.h"
#include "url_list.h"
#include "window_host.h"

namespace halvern {
namespace {

constexpr std::size_t kProxyTextChars = 1024;  // 1023 units + zero
constexpr std::size_t kTextPrefixLength = 5;   // "text/"
constexpr std::chrono::milliseconds kProgressInterval{50};

std::u16string Ascii(const char* text) { return std::u16string(text, text + std::strlen(text)); }

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }

// Hands the job over to the window in UM_CHECK_DONE. The host is held here
// across the post: a dropped message frees the job, and with it the job's
// share of the host, inside the call.
void PostDone(std::unique_ptr<CheckJob> job, std::intptr_t outcome) {
  const std::shared_ptr<WindowHost> host = job->mainWindow;
  host->PostOwnedMessage(UM_CHECK_DONE, std::move(job), outcome);
}

// The pool's task of one check: owns the job until the worker posts it.
class CheckTask final : public WorkerTask {
 public:
  explicit CheckTask(std::unique_ptr<CheckJob> job) : job_(std::move(job)) {}
  void Run() override { CheckWorker(std::move(job_)); }
  std::unique_ptr<CheckJob> TakeBack() { return std::move(job_); }

 private:
  std::unique_ptr<CheckJob> job_;
};

// Paces the progress texts of one download. Every chunk has its text, but a
// synchronous row update per 1024 bytes costs two thread switches, and at a
// thousand updates a second nobody can read them: a text is shown when the
// last row update ("Downloading..." or a progress text) is kProgressInterval
// old. A text held back waits in the job and goes to the row in the same call
// as the next row update (the outcome), so the row still receives the text of
// the last chunk before the outcome, and a small page costs no row update of
// its own between "Downloading..." and its outcome.
class ProgressPacer {
 public:
  explicit ProgressPacer(std::chrono::steady_clock::time_point lastShown) : lastShown_(lastShown) {}

  bool ShowNow() {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastShown_ < kProgressInterval) return false;
    lastShown_ = now;
    return true;
  }

 private:
  std::chrono::steady_clock::time_point lastShown_;
};

// On the window's thread: the row of `title`, if it is still listed, shows
// `held` (a progress text held back) and then `text`.
void ApplyRowStatus(UrlList& list, const std::u16string& title, const std::u16string& held,
                    const std::u16string& text, int image) {
  const int row = list.FindRow(title);
  if (row < 0) return;
  if (!held.empty()) {
    list.SetRowStatusText(row, held);
    list.SetRowImage(row, kImageBusy);
  }
  list.SetRowStatusText(row, text);
  list.SetRowImage(row, image >= kImageIdle && image <= kImageFailed ? image : kImageIdle);
}

std::u16string TakeHeldProgress(CheckJob& job) {
  std::u16string held = std::move(job.heldProgress);
  job.heldProgress.clear();
  return held;
}

// The answer's status, phase times and body bytes, for the history row. A
// layer that does not count bytes leaves the count of what the check read.
void NoteAnswer(CheckJob& job, InternetRequest& request, std::uint64_t readBytes) {
  job.measured.httpStatus = request.Headers().statusCode;
  job.measured.timings = request.Timings();
  job.measured.bytes = std::max(job.measured.timings->bodyBytes, readBytes);
}

// Reads the body of a 200 answer chunk by chunk; nothing when the job was
// cancelled, the outcome otherwise.
std::optional<std::intptr_t> ReadAndJudge(CheckJob& job, InternetRequest& request,
                                          std::chrono::steady_clock::time_point downloadingShown) {
  const ResponseHeaders& headers = request.Headers();
  const bool isText = IsTextContentType(headers.contentType);
  const bool script = job.entry->mode == kModeScript;
  MagicWordScan scan;
  std::uint32_t received = 0;
  char buffer[kReadChunk + 1] = {};  // the last byte always stays 0
  ProgressPacer pacer(downloadingShown);

  for (;;) {
    const ReadResult read = request.Read(buffer, kReadChunk);
    if (read.bytes == 0) break;  // end of the answer, or a read error ending it
    // A plain test instead of a 1 ms wait: the same signal without a sleep per chunk.
    if (job.cancelEvent->IsSet()) {
      job.heldProgress.clear();  // a cancelled download shows only "Canceled"
      job.cancelled = true;
      SetRowStatus(job, u"Canceled", kImageIdle);
      return std::nullopt;
    }
    received += static_cast<std::uint32_t>(read.bytes);
    if (pacer.ShowNow()) {
      job.heldProgress.clear();
      SetRowStatus(job, ProgressText(received), kImageBusy);
    } else {
      job.heldProgress = ProgressText(received);
    }
    if (job.entry->mode == kModeDownload) {
      if (job.entry->sizeLimit != 0 && received >= job.entry->sizeLimit) break;
    } else if (script && isText && !scan.found()) {
      scan.Append(buffer, read.bytes);
    }
    std::memset(buffer, 0, kReadChunk);
  }
  NoteAnswer(job, request, received);
  // Every judgement records its outcome, whose row update shows a held
  // progress text first.
  return JudgeResponse(job, headers.contentLength, received, scan.text(), headers.statusText);
}

// Everything up to the outcome; every session and request is closed on return.
std::intptr_t RunCheck(CheckJob& job) {
  if (!job.connectingShown) SetRowStatus(job, u"Connecting...", kImageBusy);
  if (auto error = job.services.internet->AttemptConnect()) {
    return RecordOutcome(job, false, u"Failed to connect to the server.", *error);
  }
  SessionResult opened = OpenInternetSession(*job.services.store, *job.services.internet);
  if (!opened.session) return RecordOutcome(job, false, u"Network Failure.", opened.error);
  InternetSession& session = *opened.session;
  // A handle that refuses keeps its own timeouts of 60 s, so the check still
  // cannot wait forever.
  static_cast<void>(SetInternetTimeouts(session, job.services.internetTimeoutMs));

  OpenResult open = session.OpenUrl(EntryUrl(*job.entry), kCheckOpenFlags);
  if (!open.request) {
    job.measured.timings = open.timings;
    return RecordOutcome(job, false, u"Cannot connect to the server.", open.error);
  }
  SetRowStatus(job, u"Downloading...", kImageBusy);
  const auto downloadingShown = std::chrono::steady_clock::now();
  static_cast<void>(SetInternetTimeouts(*open.request, job.services.internetTimeoutMs));

  const ResponseHeaders& headers = open.request->Headers();
  if (headers.statusCode != 200) {
    NoteAnswer(job, *open.request, 0);
    return RecordOutcome(job, false, headers.statusText);
  }
  return ReadAndJudge(job, *open.request, downloadingShown).value_or(kCheckFailed);
}

}  // namespace

CheckJob::CheckJob(std::shared_ptr<WindowHost> mainWindow, UrlList* listWindow,
                   std::shared_ptr<ManualResetEvent> cancelEvent, std::int32_t retryAllowed,
                   CheckServices services)
    : retryAllowed(retryAllowed),
      mainWindow(std::move(mainWindow)),
      listWindow(listWindow),
      cancelEvent(std::move(cancelEvent)),
      services(std::move(services)) {}

bool StartCheckJob(std::unique_ptr<CheckJob> job, std::unique_ptr<UrlEntry> entryCopy,
                   WorkerPool& workers) {
  job->entry = std::move(entryCopy);
  // Shown here, on the window's thread that starts the check, rather than by
  // the worker through a synchronous call: the same text at the same point,
  // two thread switches fewer per check.
  ApplyRowStatus(*job->listWindow, EntryTitle(*job->entry), {}, u"Connecting...", kImageBusy);
  job->connectingShown = true;
  auto owner = std::make_unique<CheckTask>(std::move(job));
  CheckTask& task = *owner;
  std::unique_ptr<WorkerTask> handed = std::move(owner);
  const std::error_code error = workers.Run(handed);
  if (!error) return true;  // the worker owns the job now
  // No worker: the check fails here, counted and shown like any other
  // failure, and its completion still releases what the run holds for it.
  std::unique_ptr<CheckJob> back = task.TakeBack();
  handed.reset();
  RecordOutcome(*back, false, kThreadFailureText,
                InternetError{error.value(), Ascii(error.message().c_str())});
  PostDone(std::move(back), kCheckFailed);
  return false;
}

std::unique_ptr<CheckJob> TakeCheckJob(std::unique_ptr<MessagePayload> payload) {
  auto* job = dynamic_cast<CheckJob*>(payload.get());
  if (job == nullptr) return nullptr;
  static_cast<void>(payload.release());
  return std::unique_ptr<CheckJob>(job);
}

void CheckWorker(std::unique_ptr<CheckJob> job) {
  const std::intptr_t outcome = RunCheck(*job);
  PostDone(std::move(job), outcome);  // the job is the window's from here on
}

std::u16string FormatProxyText(const std::u16string& address, std::int32_t port) {
  std::u16string text = address + u":" + Ascii(std::to_string(port).c_str());
  if (text.size() > kProxyTextChars - 1) text.resize(kProxyTextChars - 1);
  return text;
}

SessionResult OpenInternetSession(SettingsStore& store, Internet& internet) {
  // The address and port matter only to a custom proxy; every check reads its
  // settings afresh, so they are read only then.
  switch (ReadSetting(store, kProxyMode)) {
    case 0:
      return internet.OpenSession(ProxyType::kPreconfigured, kAgentName, {});
    case 1:
      return internet.OpenSession(ProxyType::kDirect, kAgentName, {});
    case 2: {
      const std::u16string address = ReadSetting(store, kProxyAddress);
      const std::int32_t port = ReadSetting(store, kProxyPort);
      return internet.OpenSession(ProxyType::kProxy, kAgentName, FormatProxyText(address, port));
    }
    default:
      return {};
  }
}

bool SetInternetTimeouts(InternetHandle& handle, std::uint32_t timeoutMs) {
  return handle.SetOption(InternetOption::kConnectTimeout, timeoutMs) &&
         handle.SetOption(InternetOption::kReceiveTimeout, timeoutMs) &&
         handle.SetOption(InternetOption::kSendTimeout, timeoutMs);
}

void SetRowStatus(CheckJob& job, const std::u16string& text, int image) {
  const std::u16string title = EntryTitle(*job.entry);
  UrlList* list = job.listWindow;
  // One synchronous call carries the find and the updates, so the row found is
  // the row changed; a progress text held back by the pacer comes first.
  const std::u16string held = TakeHeldProgress(job);
  job.mainWindow->Send([&] { ApplyRowStatus(*list, title, held, text, image); });
}

std::u16string ProgressText(std::uint32_t received) {
  char text[64];
  if (received < kReadChunk) {
    std::snprintf(text, sizeof text, "Downloading: %d bytes", static_cast<int>(received));
  } else {
    std::snprintf(text, sizeof text, "Downloading: %d kb", static_cast<int>(received / kReadChunk));
  }
  return Ascii(text);
}

std::intptr_t JudgeResponse(CheckJob& job, std::uint32_t contentLength, std::uint32_t received,
                            const std::u16string& body, const std::u16string& statusText) {
  const UrlEntry& entry = *job.entry;
  // A size limit stops reading early, so a limited download skips the length test.
  const bool skipLengthTest = entry.mode == kModeDownload && entry.sizeLimit != 0;
  if (contentLength != 0 && contentLength != received && !skipLengthTest) {
    return RecordOutcome(job, false, statusText);
  }
  switch (entry.mode) {
    case kModeDownload:
      return RecordOutcome(job, received != 0, statusText);
    case kModeScript:
      if (FindText(body, kMagicWord)) return RecordOutcome(job, true, statusText);
      return RecordOutcome(job, false, u"Verification failed (no magic word).");
    default:
      // A stored record of another mode is a failure that counts, retries and
      // alerts like any other, so it cannot be fetched again for ever.
      return RecordOutcome(job, false, kUnknownModeText);
  }
}

namespace {

// The check's copy goes back only over the entry it was taken from: false
// means the entry was deleted or replaced meanwhile, and then nothing is saved.
void SaveEntryCopy(SettingsStore& store, const UrlEntry& entry) {
  static_cast<void>(SaveUrlEntryIfStillStored(store, EntryTitle(entry), entry));
}

// The history row of an outcome: the whole text the row shows for a failure,
// the outcome text for a pass (whose row shows only the time).
HistoryRow HistoryRowOf(const CheckJob& job, std::int64_t nowMs, bool passed,
                        std::u16string detail) {
  const UrlEntry& entry = *job.entry;
  HistoryRow row;
  row.entryId = entry.id;
  row.title = EntryTitle(entry);
  row.url = EntryUrl(entry);
  row.timeMs = nowMs;
  row.kind = job.kind;
  row.passed = passed;
  row.detail = std::move(detail);
  const CheckJob::Measured& m = job.measured;
  row.httpStatus = m.httpStatus;
  if (m.timings) {
    row.dnsMs = m.timings->dnsMs;
    row.connectMs = m.timings->connectMs;
    row.tlsMs = m.timings->tlsMs;
    row.firstByteMs = m.timings->firstByteMs;
    row.totalMs = m.timings->totalMs;
  }
  if (m.bytes) row.bytes = static_cast<std::int64_t>(*m.bytes);
  row.certNotAfter = m.certNotAfter;
  return row;
}

}  // namespace

bool RecordOutcome(CheckJob& job, bool passed, std::u16string_view text,
                   const InternetError& error) {
  UrlEntry& entry = *job.entry;
  SettingsStore& store = *job.services.store;
  const Clock& clock = *job.services.clock;
  const std::int64_t now = clock.Now();
  std::u16string status;  // the row's text of a failure
  if (!passed) {
    status = u"Failed. ";
    status += text;
    if (error.code != InternetError::kNoCode && !error.message.empty()) {
      status += u" Code: ";
      status += error.message;
    }
  }
  // The outcome goes on whether or not its record was kept; WriteLogRecord
  // says so when the store refused it. The history row goes with the log
  // record, in the same write.
  const HistoryRow row =
      HistoryRowOf(job, clock.NowMs(), passed, passed ? std::u16string(text) : status);
  static_cast<void>(WriteLogRecord(store, clock, entry, passed, text, &row));

  if (passed) {
    entry.failureCount = 0;
    entry.lastSuccessTime = now;
    SaveEntryCopy(store, entry);
    SetRowStatus(job, FormatLocalTime(now, u"Lasted checked on %X %x"), kImagePassed);
    return passed;
  }
  entry.failureCount += 1;
  SaveEntryCopy(store, entry);
  job.failureText = status.substr(std::size(u"Failed. ") - 1);
  SetRowStatus(job, status, kImageFailed);
  return passed;
}

std::optional<std::size_t> FindText(std::u16string_view text, std::u16string_view word) {
  const std::size_t at = text.find(word);
  if (at == std::u16string_view::npos) return std::nullopt;
  return at;
}

bool IsTextContentType(std::u16string_view contentType) {
  constexpr std::u16string_view prefix = u"text/";
  if (contentType.size() < kTextPrefixLength) return false;
  for (std::size_t i = 0; i < kTextPrefixLength; ++i) {
    if (FoldAscii(contentType[i]) != prefix[i]) return false;
  }
  return true;
}

void MagicWordScan::Append(const char* chunk, std::size_t size) {
  if (found_) return;
  const std::size_t length = std::find(chunk, chunk + size, '\0') - chunk;
  // Bytes become units one to one (the single-byte code page): the magic word
  // is plain ASCII, and no character can straddle a chunk border.
  for (std::size_t i = 0; i < length; ++i) {
    text_.push_back(static_cast<char16_t>(static_cast<unsigned char>(chunk[i])));
  }
  constexpr std::size_t wordLength = std::size(kMagicWord) - 1;
  if (FindText(text_, kMagicWord)) {
    found_ = true;
    return;
  }
  if (text_.size() >= wordLength) text_.erase(0, text_.size() - (wordLength - 1));
}

}  // namespace halvern
