#pragma once
// The URL list control as the engine sees it: rows identified by their text in
// column 0, a status text in column 1 and a status image. Every call runs on the
// main window's thread; worker threads reach it through WindowHost::Send.

#include <string>

namespace halvern {

// Status images of a row.
enum StatusImage : int { kImageIdle = 0, kImageBusy = 1, kImagePassed = 2, kImageFailed = 3 };

class UrlList {
 public:
  virtual ~UrlList() = default;
  // Inserts a row at `position` (clamped to the row count) and returns its index.
  virtual int InsertRow(int position, const std::u16string& text, int image) = 0;
  virtual void DeleteRow(int row) = 0;
  // The first row whose text equals `text` exactly, or -1.
  virtual int FindRow(const std::u16string& text) const = 0;
  virtual void SetRowStatusText(int row, const std::u16string& text) = 0;
  // The status text a row shows; empty where the list cannot tell.
  virtual std::u16string RowStatusText(int row) const {
    static_cast<void>(row);
    return {};
  }
  virtual void SetRowImage(int row, int image) = 0;
  // Text shown when the pointer rests on the row's title (the entry's
  // address); a list without tooltips ignores it.
  virtual void SetRowToolTip(int row, const std::u16string& text) {
    static_cast<void>(row);
    static_cast<void>(text);
  }
};

}  // namespace halvern
