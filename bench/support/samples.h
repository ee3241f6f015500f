// The benchmarks' raw figures as CSV files, for scripts/run-bench.sh to
// draw: written into the folder KTCOMM_BENCH_SAMPLES names, or nowhere when
// it is unset. Called by the thread that runs a scenario.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace ktcomm::bench {

// `file` with the header "client,microseconds" and one row per sample, the
// series one after another.
void WriteLatencySamples(const std::string& file,
                         const std::vector<std::pair<std::string, const std::vector<double>*>>& series);

// `file` with the given header line and rows, each already comma-separated.
void WriteRows(const std::string& file, const std::string& header,
               const std::vector<std::string>& rows);

}  // namespace ktcomm::bench
