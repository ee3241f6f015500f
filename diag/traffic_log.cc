#include "diag/traffic_log.h"

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

int TrafficLog::Text(const char* text) {
  if (file == nullptr) return 0;
  size_t length = std::strlen(text);
  return std::fwrite(text, 1, length, file) == length ? 1 : 0;
}

int TrafficLog::Data(const uint8_t* bytes, int32_t count, int direction, int portNumber) {
  if (file == nullptr) return 0;
  int32_t written = 0;
  if (enabled) {
    if (direction != lastDirection) {
      std::fprintf(file, "\nCOM%i ", portNumber);
      std::fputs(direction == kReading ? "\nReading: " : "\nWriting: ", file);
      lastDirection = direction;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (int32_t i = 0; i < count; ++i) {
      const char text[3] = {kHex[bytes[i] >> 4], kHex[bytes[i] & 0x0F], ' '};
      if (std::fwrite(text, 1, 3, file) == 3) ++written;
    }
  }
  return written == count ? 1 : 0;
}

}  // namespace ktcomm::diag
