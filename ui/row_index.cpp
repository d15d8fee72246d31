#include "row_index.h"

namespace halvern::ui {

void RowIndex::Inserted(int row, const QString& text) {
  std::uint32_t id;
  if (freeIds_.empty()) {
    id = static_cast<std::uint32_t>(rowOfId_.size());
    rowOfId_.push_back(-1);
  } else {
    id = freeIds_.back();
    freeIds_.pop_back();
  }
  idOfRow_.insert(idOfRow_.begin() + row, id);
  Renumber(row);
  if (holds_ == 0) Add(row, text);
}

void RowIndex::Removed(int row, const QString& text) {
  if (holds_ == 0) Drop(row, text);
  const std::uint32_t id = idOfRow_[static_cast<std::size_t>(row)];
  idOfRow_.erase(idOfRow_.begin() + row);
  rowOfId_[id] = -1;
  freeIds_.push_back(id);
  Renumber(row);
}

void RowIndex::Retexted(int row, const QString& before, const QString& after) {
  if (holds_ > 0 || before == after) return;
  Drop(row, before);
  Add(row, after);
}

void RowIndex::Clear() {
  idOfRow_.clear();
  rowOfId_.clear();
  freeIds_.clear();
  entries_.clear();
}

void RowIndex::Reordered(const std::vector<int>& order) {
  std::vector<std::uint32_t> ids;
  ids.reserve(order.size());
  for (const int from : order) ids.push_back(idOfRow_[static_cast<std::size_t>(from)]);
  idOfRow_ = std::move(ids);
  Renumber(0);
  if (holds_ == 0) Rebuild();
}

void RowIndex::Release() {
  if (holds_ > 0 && --holds_ == 0) Rebuild();
}

int RowIndex::Find(const QString& text) const {
  if (holds_ > 0) return Scan(0, text);
  const auto it = entries_.constFind(text);
  return it == entries_.constEnd() ? -1 : RowOf(it->firstId);
}

void RowIndex::Renumber(int from) {
  for (int row = from; row < Rows(); ++row) rowOfId_[idOfRow_[static_cast<std::size_t>(row)]] = row;
}

int RowIndex::Scan(int from, const QString& text) const {
  for (int row = from; row < Rows(); ++row) {
    if (textOf_(row) == text) return row;
  }
  return -1;
}

void RowIndex::Add(int row, const QString& text) {
  const std::uint32_t id = idOfRow_[static_cast<std::size_t>(row)];
  Entry& entry = entries_[text];
  if (entry.count++ == 0 || RowOf(entry.firstId) > row) entry.firstId = id;
}

void RowIndex::Drop(int row, const QString& text) {
  const auto it = entries_.find(text);
  if (it == entries_.end()) return;
  if (--it->count == 0) {
    entries_.erase(it);
    return;
  }
  if (it->firstId != idOfRow_[static_cast<std::size_t>(row)]) return;
  // The next row of this text, past the one that goes, becomes the first.
  const int next = Scan(row + 1, text);
  if (next >= 0) it->firstId = idOfRow_[static_cast<std::size_t>(next)];
}

void RowIndex::Rebuild() {
  entries_.clear();
  entries_.reserve(Rows());
  // From the last row up, so that the first row of a text is the one kept.
  for (int row = Rows() - 1; row >= 0; --row) {
    Entry& entry = entries_[textOf_(row)];
    entry.firstId = idOfRow_[static_cast<std::size_t>(row)];
    ++entry.count;
  }
}

}  // namespace halvern::ui
