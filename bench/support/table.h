// The results table every benchmark prints: one row per figure, the library
// beside the reference client measured in the same run, their ratio, and the
// target with whether this run met it.
#pragma once

#include <cmath>
#include <string>
#include <vector>

namespace ktcomm::bench {

struct Target {
  enum Kind {
    kNone,
    kRatioAtMost,   // library / reference <= limit (times, costs)
    kRatioAtLeast,  // library / reference >= limit (rates)
    kValueAtMost,   // library <= limit, whatever the reference did
  };
  Kind kind = kNone;
  double limit = 0;
};

inline constexpr double kNoFigure = NAN;

// Prints to standard output as it goes; counts the targets it saw missed.
class Table {
 public:
  // A section title and the column heads; `library` and `reference` name
  // the two columns.
  void Section(const std::string& title, const std::string& library = "KTcomm",
               const std::string& reference = "raw");
  // One row; kNoFigure leaves a cell empty. `decimals` applies to both figures.
  void Row(const std::string& what, double library, double reference, int decimals,
           Target target = {});
  // A line of explanation under the rows.
  void Note(const std::string& text);

  // A section of several figures a row, with no reference, ratio or target:
  // the column heads, each with the decimals of its figures.
  struct Column {
    std::string head;
    int decimals;
  };
  void Grid(const std::string& title, std::vector<Column> columns);
  // One row of a grid, a figure per column; kNoFigure leaves a cell empty.
  void GridRow(const std::string& what, const std::vector<double>& figures);

  int Missed() const { return missed; }

 private:
  int missed = 0;
  std::vector<Column> gridColumns;
};

}  // namespace ktcomm::bench
