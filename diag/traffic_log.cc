#include "diag/traffic_log.h"

#include <algorithm>
#include <cstring>

#include "platform/log_file.h"

namespace ktcomm::diag {

int TrafficLog::SetFileName(const char* name) {
  if (name == nullptr || *name == '\0') return 0;
  fileName = name;
  return 1;
}

void TrafficLog::SetMode(const char* text) {
  std::strncpy(mode, text != nullptr ? text : "", sizeof mode - 1);
  mode[sizeof mode - 1] = '\0';
}

int TrafficLog::Open(const char* openMode) {
  if (fileName.empty()) return 0;
  Close();
  file = platform::OpenRegularFile(fileName.c_str(), openMode != nullptr ? openMode : "");
  return file != nullptr ? 1 : 0;
}

int TrafficLog::Close() {
  if (file != nullptr) {
    std::fclose(file);
    file = nullptr;
  }
  return 1;
}

int TrafficLog::LogText(const char* text) {
  if (file == nullptr) return 0;
  size_t length = std::strlen(text);
  return std::fwrite(text, 1, length, file) == length ? 1 : 0;
}

int TrafficLog::LogData(const uint8_t* bytes, int32_t count, int direction, int portNumber) {
  if (file == nullptr) return 0;
  int32_t written = 0;
  bool complete = true;
  if (enabled) {
    if (direction != lastDirection) {
      std::fprintf(file, "\nCOM%i ", portNumber);
      std::fputs(direction == kReading ? "\nReading: " : "\nWriting: ", file);
      lastDirection = direction;
    }
    // Formatted a chunk at a time and written with one call per chunk.
    static constexpr char kHex[] = "0123456789abcdef";
    char text[3 * 512];
    while (written < count) {
      const int32_t chunk = std::min<int32_t>(count - written, sizeof text / 3);
      char* out = text;
      for (const uint8_t* byte = bytes + written; byte != bytes + written + chunk; ++byte) {
        out[0] = kHex[*byte >> 4];
        out[1] = kHex[*byte & 0x0F];
        out[2] = ' ';
        out += 3;
      }
      const size_t length = static_cast<size_t>(out - text);
      // A failed chunk does not stop the next: a log is written as far as it goes.
      if (std::fwrite(text, 1, length, file) != length) complete = false;
      written += chunk;
    }
  }
  return complete && written == count ? 1 : 0;
}

}  // namespace ktcomm::diag
