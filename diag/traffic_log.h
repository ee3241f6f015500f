// One port's traffic log: its file name, mode and stream, and the hex text
// of what the port writes and reads. Owned by the port, used under its lock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace ktcomm::diag {

class TrafficLog {
 public:
  // Direction of logged bytes.
  static constexpr int kReading = 1;
  static constexpr int kWriting = 2;

  TrafficLog() = default;
  ~TrafficLog() { Close(); }
  TrafficLog(const TrafficLog&) = delete;
  TrafficLog& operator=(const TrafficLog&) = delete;

  // Each returns 1 on success, 0 on failure. Null texts count as empty.
  int SetFileName(const char* name);
  int Open(const char* mode);
  int Close();
  int LogText(const char* text);
  int LogData(const uint8_t* bytes, int32_t count, int direction, int portNumber);

  // Keeps the first 15 characters of the mode for later opens.
  void SetMode(const char* mode);
  const char* Mode() const { return mode; }

  bool IsOpen() const { return file != nullptr; }

  // Logging switched on; never switched off again.
  bool enabled = false;

 private:
  std::string fileName;
  FILE* file = nullptr;
  char mode[16] = {};
  int lastDirection = 0;  // survives close and reopen
};

}  // namespace ktcomm::diag
