#include "bench/support/samples.h"

#include <cstdio>
#include <cstdlib>

namespace ktcomm::bench {
namespace {

// The open file in the samples folder, or null when there is none.
FILE* Open(const std::string& file) {
  const char* folder = std::getenv("KTCOMM_BENCH_SAMPLES");
  if (folder == nullptr || *folder == '\0') return nullptr;
  std::string path = std::string(folder) + "/" + file;
  FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return out;
}

}  // namespace

void WriteLatencySamples(
    const std::string& file,
    const std::vector<std::pair<std::string, const std::vector<double>*>>& series) {
  FILE* out = Open(file);
  if (out == nullptr) return;
  std::fprintf(out, "client,microseconds\n");
  for (const auto& [name, samples] : series) {
    for (double sample : *samples) std::fprintf(out, "\"%s\",%.2f\n", name.c_str(), sample);
  }
  std::fclose(out);
}

void WriteRows(const std::string& file, const std::string& header,
               const std::vector<std::string>& rows) {
  FILE* out = Open(file);
  if (out == nullptr) return;
  std::fprintf(out, "%s\n", header.c_str());
  for (const std::string& row : rows) std::fprintf(out, "%s\n", row.c_str());
  std::fclose(out);
}

}  // namespace ktcomm::bench
