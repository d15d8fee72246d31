#pragma once
// A store for tests of failure paths: it passes every call to a real store and
// can be told to fail writes (the Nth write from now, or every write) or to be
// busy for a while (writes wait until it is released, as they would behind
// another program's lock). Reads and walks always pass through. Thread-safe.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>

#include "settings_store.h"

namespace halvern::test {

class FaultStore final : public SettingsStore {
 public:
  explicit FaultStore(SettingsStore& inner) : inner_(inner) {}

  // The write `n` writes from now (1 = the next one) fails without reaching
  // the store; the others pass.
  void FailNthWrite(std::size_t n) {
    std::lock_guard lock(mutex_);
    failAt_ = writes_ + n;
  }
  // Every write fails (true) or passes again (false).
  void FailAllWrites(bool fail) {
    std::lock_guard lock(mutex_);
    failAll_ = fail;
  }
  // While busy, every write waits; SetBusy(false) lets them through in order.
  void SetBusy(bool busy) {
    {
      std::lock_guard lock(mutex_);
      busy_ = busy;
    }
    released_.notify_all();
  }
  // Writes attempted so far (failed ones included).
  std::size_t Writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  // Writes waiting while the store is busy.
  std::size_t Waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
  }

  std::int32_t ReadSettingInt(const std::u16string& section, const std::u16string& entry,
                              std::int32_t defaultValue) override {
    return inner_.ReadSettingInt(section, entry, defaultValue);
  }
  std::u16string ReadSettingString(const std::u16string& section, const std::u16string& entry,
                                   const std::u16string& defaultValue) override {
    return inner_.ReadSettingString(section, entry, defaultValue);
  }
  using SettingsStore::OpenSection;
  using SettingsStore::ReadSettingBinary;
  std::optional<Bytes> ReadSettingBinary(const std::u16string& section, const std::u16string& entry,
                                         std::size_t maxBytes) override {
    return inner_.ReadSettingBinary(section, entry, maxBytes);
  }
  std::unique_ptr<SectionCursor> OpenSection(const std::u16string& section,
                                             std::size_t maxData) override {
    return inner_.OpenSection(section, maxData);
  }

  bool WriteSettingInt(const std::u16string& section, const std::u16string& entry,
                       std::int32_t value) override {
    return Pass() && inner_.WriteSettingInt(section, entry, value);
  }
  bool WriteSettingString(const std::u16string& section, const std::u16string& entry,
                          const std::u16string& value) override {
    return Pass() && inner_.WriteSettingString(section, entry, value);
  }
  bool WriteSettingBinary(const std::u16string& section, const std::u16string& entry,
                          const Bytes& data) override {
    return Pass() && inner_.WriteSettingBinary(section, entry, data);
  }
  bool ReplaceBinaryIfId(const std::u16string& section, const std::u16string& entry,
                         std::uint32_t id, const Bytes& data) override {
    return Pass() && inner_.ReplaceBinaryIfId(section, entry, id, data);
  }
  std::optional<std::u16string> InsertBinaryUnderFreeName(const std::u16string& section,
                                                          const NameSequence& nameFor,
                                                          const Bytes& data) override {
    if (!Pass()) return std::nullopt;
    return inner_.InsertBinaryUnderFreeName(section, nameFor, data);
  }
  bool DeleteValue(const std::u16string& section, const std::u16string& entry) override {
    return Pass() && inner_.DeleteValue(section, entry);
  }
  std::size_t DeleteValues(const std::u16string& section,
                           const std::vector<std::u16string>& entries) override {
    return Pass() ? inner_.DeleteValues(section, entries) : 0;
  }
  bool DeleteSection(const std::u16string& section) override {
    return Pass() && inner_.DeleteSection(section);
  }

 private:
  // Counts one write; waits while busy; false when this write is to fail.
  bool Pass() {
    std::unique_lock lock(mutex_);
    const std::size_t mine = ++writes_;
    ++waiting_;
    released_.wait(lock, [this] { return !busy_; });
    --waiting_;
    if (failAll_) return false;
    if (failAt_ && *failAt_ == mine) return false;
    return true;
  }

  SettingsStore& inner_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::size_t writes_ = 0;
  std::size_t waiting_ = 0;
  std::optional<std::size_t> failAt_;
  bool failAll_ = false;
  bool busy_ = false;
};

}  // namespace halvern::test
