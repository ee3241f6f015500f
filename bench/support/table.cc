#include "bench/support/table.h"

#include <cstdio>
#include <utility>

namespace ktcomm::bench {
namespace {

std::string Figure(double value, int decimals) {
  if (std::isnan(value)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string TargetText(const Target& target) {
  char text[32];
  switch (target.kind) {
    case Target::kNone:
      return "";
    case Target::kRatioAtMost:
      std::snprintf(text, sizeof text, "<= %gx", target.limit);
      break;
    case Target::kRatioAtLeast:
      std::snprintf(text, sizeof text, ">= %gx", target.limit);
      break;
    case Target::kValueAtMost:
      std::snprintf(text, sizeof text, "<= %g", target.limit);
      break;
  }
  return text;
}

// "met", "MISSED", or empty when there is no target or nothing to judge.
std::string Verdict(const Target& target, double library, double ratio, int* missed) {
  bool met;
  switch (target.kind) {
    case Target::kNone:
      return "";
    case Target::kRatioAtMost:
      if (std::isnan(ratio)) return "";
      met = ratio <= target.limit;
      break;
    case Target::kRatioAtLeast:
      if (std::isnan(ratio)) return "";
      met = ratio >= target.limit;
      break;
    case Target::kValueAtMost:
      met = library <= target.limit;
      break;
    default:
      return "";
  }
  if (!met) ++*missed;
  return met ? "met" : "MISSED";
}

}  // namespace

void Table::Section(const std::string& title, const std::string& library,
                    const std::string& reference) {
  std::printf("\n%s\n", title.c_str());
  std::printf("  %-40s %12s %12s %7s  %-9s %s\n", "", library.c_str(), reference.c_str(), "ratio",
              "target", "");
  std::fflush(stdout);
}

void Table::Row(const std::string& what, double library, double reference, int decimals,
                Target target) {
  double ratio = NAN;
  if (!std::isnan(library) && !std::isnan(reference) && reference != 0) ratio = library / reference;
  std::printf("  %-40s %12s %12s %7s  %-9s %s\n", what.c_str(), Figure(library, decimals).c_str(),
              Figure(reference, decimals).c_str(), Figure(ratio, 2).c_str(),
              TargetText(target).c_str(), Verdict(target, library, ratio, &missed).c_str());
  std::fflush(stdout);
}

void Table::Grid(const std::string& title, std::vector<Column> columns) {
  gridColumns = std::move(columns);
  std::printf("\n%s\n  %-40s", title.c_str(), "");
  for (const Column& column : gridColumns) std::printf(" %9s", column.head.c_str());
  std::printf("\n");
  std::fflush(stdout);
}

void Table::GridRow(const std::string& what, const std::vector<double>& figures) {
  std::printf("  %-40s", what.c_str());
  for (size_t i = 0; i < gridColumns.size(); ++i) {
    double figure = i < figures.size() ? figures[i] : kNoFigure;
    std::printf(" %9s", Figure(figure, gridColumns[i].decimals).c_str());
  }
  std::printf("\n");
  std::fflush(stdout);
}

void Table::Note(const std::string& text) {
  std::printf("  (%s)\n", text.c_str());
  std::fflush(stdout);
}

}  // namespace ktcomm::bench
