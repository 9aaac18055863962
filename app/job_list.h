// The batch tab's job list without a window: rows of (input, output) paths under the rules of the
// tab's buttons. Row 0 is the grid's header, so data rows are numbered from 1, as on screen.
#pragma once

#include <string>
#include <vector>

namespace tessaline {

struct RemuxJob {
    std::string input;
    std::string output;
    friend bool operator==(const RemuxJob&, const RemuxJob&) = default;
};

class JobList {
  public:
    JobList() { Clear(); }

    // Header included: at least 2.
    int RowCount() const { return static_cast<int>(rows_.size()) + 1; }
    // Data row r (1 .. RowCount() - 1); an empty job outside that range.
    const RemuxJob& Row(int r) const;
    void SetRow(int r, RemuxJob job);

    // The first row whose input is empty receives the job; without one a row is appended.
    // Returns the row used.
    int Add(RemuxJob job);
    // Empties row r; rows below move up by one and, above the two-row minimum, the last row
    // goes. The last row itself stays, empty, for the next Add.
    void Delete(int r);
    // Back to the header and one empty row.
    void Clear();
    // Exactly one data row with both cells empty: nothing to run.
    bool IsEmpty() const;

  private:
    std::vector<RemuxJob> rows_;  // rows_[0] is data row 1
};

}  // namespace tessaline
