// The store's writes: queued by the threads of this process, committed in
// groups on the one write connection, and retried while another program holds
// the database locked.

#include <thread>

#include "sqlite_connection.h"
#include "sqlite_store.h"

namespace halvern {

// A write waiting for the write connection.
struct SqliteStore::PendingWrite {
  explicit PendingWrite(const WriteFunction& w) : write(w) {}
  const WriteFunction& write;
  bool ok = false;
  bool settled = false;          // committed or failed for good; only the committing thread
  bool done = false;             // guarded by queueMutex_
  std::condition_variable wake;  // this writer's own wake-up
};

SqliteStore::Connection* SqliteStore::Writer() {
  if (writer_ && writer_->generation() != generation_) {
    writer_->Retire();
    writer_.reset();
  }
  if (!writer_) {
    std::string error;
    writer_ = OpenConnection(file_, /*create=*/false, *policy_, generation_, error);
  }
  return writer_.get();
}

bool SqliteStore::RunWrite(const WriteFunction& write) {
  // Shared with the committing thread, which wakes this writer after letting
  // go of the lock (so the writer need not wait for it again) while its own
  // reference keeps the wake-up alive should this writer have returned.
  const auto me = std::make_shared<PendingWrite>(write);
  std::unique_lock lock(queueMutex_);
  queue_.push_back(me);
  // While nobody commits, every write not yet done is in the queue.
  me->wake.wait(lock, [&] { return me->done || !writing_; });
  if (me->done) return me->ok;

  // Nobody commits: this thread commits everything queued so far, its own
  // write included, then wakes those writers and the next one in line.
  writing_ = true;
  std::vector<std::shared_ptr<PendingWrite>> batch;
  batch.swap(queue_);
  lock.unlock();
  RunBatch(batch);
  lock.lock();
  writing_ = false;
  for (const auto& w : batch) w->done = true;
  const std::shared_ptr<PendingWrite> next = queue_.empty() ? nullptr : queue_.front();
  lock.unlock();
  for (const auto& w : batch) {
    if (w != me) w->wake.notify_one();
  }
  if (next) next->wake.notify_one();
  return me->ok;
}

void SqliteStore::RunBatch(const std::vector<std::shared_ptr<PendingWrite>>& batch) {
  // A lock of another program ends an attempt; the batch is tried again, whole
  // and in order, while writes queued meanwhile wait for the next batch. Only
  // the end of the program ends the retries: what was handed over is not
  // dropped for a lock.
  while (TryBatch(batch) == Attempt::kBusy) {
    if (policy_->PastExit()) break;
    // Some locks fail at once, without the busy handler's wait.
    const auto pause = std::min<BusyPolicy::Clock::duration>(
        std::chrono::milliseconds(10), policy_->ExitDeadline() - BusyPolicy::Clock::now());
    if (pause > BusyPolicy::Clock::duration::zero()) std::this_thread::sleep_for(pause);
  }
  for (const auto& w : batch) {
    if (!w->settled) w->ok = false;
  }
}

SqliteStore::Attempt SqliteStore::TryBatch(
    const std::vector<std::shared_ptr<PendingWrite>>& batch) {
  const FileState file = FollowFile();
  if (file == FileState::kBusy) return Attempt::kBusy;
  Connection* c = file == FileState::kCurrent ? Writer() : nullptr;
  if (c == nullptr) return Attempt::kDone;  // no database to write to: the writes fail
  if (batch.size() > 1 && !batch.front()->settled) {
    // One transaction for the whole batch: one commit, each page written once.
    bool whole = c->Run("BEGIN IMMEDIATE");
    if (!whole && c->Busy()) return Attempt::kBusy;
    for (std::size_t i = 0; whole && i < batch.size(); ++i) {
      batch[i]->ok = batch[i]->write(*c);
      if (!batch[i]->ok && c->Busy()) break;
      // An error that ended the transaction (disk full, I/O) voids it all.
      whole = !sqlite3_get_autocommit(c->db());
    }
    const bool busy = c->Busy();
    if (whole && !busy && c->Run("COMMIT")) {
      for (const auto& w : batch) w->settled = true;
      return Attempt::kDone;
    }
    const bool commitBusy = c->Busy();
    if (!sqlite3_get_autocommit(c->db())) c->Run("ROLLBACK");
    if (busy || commitBusy) return Attempt::kBusy;
  }
  return TryEach(batch, *c);
}

// One write, or a batch that failed as a whole: each write in a transaction of
// its own, so one write's failure is its own. A lock stops the attempt at the
// write it met; the next attempt goes on from there.
SqliteStore::Attempt SqliteStore::TryEach(const std::vector<std::shared_ptr<PendingWrite>>& batch,
                                          Connection& c) {
  for (const auto& w : batch) {
    if (w->settled) continue;
    w->ok = c.Run("BEGIN IMMEDIATE") && w->write(c) && c.Run("COMMIT");
    const bool busy = !w->ok && c.Busy();
    if (!sqlite3_get_autocommit(c.db())) c.Run("ROLLBACK");
    if (busy) return Attempt::kBusy;
    w->settled = true;
  }
  return Attempt::kDone;
}

}  // namespace halvern
