#pragma once
// A URL list for tests: rows by title with their status text, status history
// and image. Used on one thread at a time (the window thread).

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "url_list.h"

namespace halvern::test {

// The URL list: rows by title with status text and image; the window thread
// writes it, tests read it on that thread too.
class FakeUrlList final : public UrlList {
 public:
  struct Row {
    std::u16string text;
    std::u16string status;
    int image = 0;
    std::vector<std::u16string> history;  // every status shown
    std::u16string toolTip;
  };
  int InsertRow(int position, const std::u16string& text, int image) override {
    position = std::clamp(position, 0, static_cast<int>(rows.size()));
    rows.insert(rows.begin() + position, Row{text, u"", image, {}, {}});
    return position;
  }
  void DeleteRow(int row) override { rows.erase(rows.begin() + row); }
  int FindRow(const std::u16string& text) const override {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].text == text) return static_cast<int>(i);
    }
    return -1;
  }
  void SetRowStatusText(int row, const std::u16string& text) override {
    rows[row].status = text;
    rows[row].history.push_back(text);
    if (onStatus) onStatus(text);
  }
  std::u16string RowStatusText(int row) const override { return rows[row].status; }
  void SetRowImage(int row, int image) override { rows[row].image = image; }
  void SetRowToolTip(int row, const std::u16string& text) override { rows[row].toolTip = text; }
  const Row* Find(const std::u16string& text) const {
    const int i = FindRow(text);
    return i < 0 ? nullptr : &rows[i];
  }
  std::vector<Row> rows;
  std::function<void(const std::u16string&)> onStatus;  // runs on the list's thread
};

}  // namespace halvern::test
