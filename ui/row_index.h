#pragma once
// Finds the first row of a list whose column 0 holds a given text, in constant
// time, while rows come and go. Every row has an id that stays with it; the
// index maps a text to the id of its first row and to how many rows hold it,
// and keeps the row of every id. Inserting or removing a row renumbers the
// rows after it (a pass over plain integers); nothing walks the texts except
// when the first of several rows of one text goes.

#include <QtCore/QHash>
#include <QtCore/QString>
#include <cstdint>
#include <functional>
#include <vector>

namespace halvern::ui {

class RowIndex {
 public:
  // `textOf(row)` is the text in column 0 of a row the index knows.
  explicit RowIndex(std::function<const QString&(int row)> textOf) : textOf_(std::move(textOf)) {}

  // A row of `text` now sits at `row`; the rows from there on moved down one.
  void Inserted(int row, const QString& text);
  // The row at `row`, of `text`, is gone; the rows after it moved up one.
  void Removed(int row, const QString& text);
  // The row at `row` now holds `after` instead of `before`.
  void Retexted(int row, const QString& before, const QString& after);
  void Clear();
  // The rows were reordered: the row at order[i] is now at row i.
  void Reordered(const std::vector<int>& order);
  // Any number of texts changed in place.
  void Reindex() {
    if (holds_ == 0) Rebuild();
  }

  // While held, texts are not indexed (Find walks the rows instead); Release
  // of the outermost hold indexes every row again.
  void Hold() { ++holds_; }
  void Release();

  // The first row whose text is `text`, or -1.
  [[nodiscard]] int Find(const QString& text) const;

 private:
  struct Entry {
    std::uint32_t firstId = 0;
    int count = 0;
  };

  int Rows() const { return static_cast<int>(idOfRow_.size()); }
  int RowOf(std::uint32_t id) const { return rowOfId_[id]; }
  void Renumber(int from);
  int Scan(int from, const QString& text) const;
  void Add(int row, const QString& text);
  void Drop(int row, const QString& text);
  void Rebuild();

  std::function<const QString&(int)> textOf_;
  std::vector<std::uint32_t> idOfRow_;
  std::vector<int> rowOfId_;  // -1: a free id
  std::vector<std::uint32_t> freeIds_;
  QHash<QString, Entry> entries_;
  int holds_ = 0;
};

}  // namespace halvern::ui
