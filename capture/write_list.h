// The list of files to write to the deck, without a window: one path per row, row 0 being the
// grid's header, and a current row (the file being played). Rows keep what was put in them; a row
// counts as blank when it holds only blanks.
#pragma once

#include <string>
#include <vector>

namespace tessaline {

class WriteList {
  public:
    WriteList() { Clear(); }

    int RowCount() const { return static_cast<int>(rows_.size()) + 1; }  // header included
    // Row r's text; empty outside 1 .. RowCount() - 1.
    const std::string& Row(int r) const;
    void SetRow(int r, std::string path);
    int Current() const { return current_; }
    void SetCurrent(int r);

    // The path goes into the first blank row, or a new row at the end. Returns the row used.
    int Add(std::string path);
    // Rows that are not blank.
    int CountListed() const;
    // Empties the current row and moves the rows below it up; above the two-row minimum the list
    // loses a row. Returns the text of the (new) current row.
    const std::string& DeleteCurrent();
    // Back to the header and one empty row.
    void Clear();

  private:
    std::vector<std::string> rows_;  // rows_[0] is row 1
    int current_ = 1;
};

bool IsBlank(const std::string& text);

}  // namespace tessaline
