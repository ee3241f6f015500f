// Random texts through the line definition parser: no crash, and whatever it
// accepts is within the ranges a line can take.
#include <cstdlib>
#include <string_view>

#include "platform/line_definition.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto line = ktcomm::platform::ParseLineDefinition(text);
  if (!line) return 0;
  if (line->baud && *line->baud == 0) std::abort();
  if (line->dataBits && (*line->dataBits < 5 || *line->dataBits > 8)) std::abort();
  if (line->stopBits && *line->stopBits != 1 && *line->stopBits != 2) std::abort();
  if (line->parity && std::string_view("NEOMS").find(*line->parity) == std::string_view::npos) {
    std::abort();
  }
  return 0;
}
