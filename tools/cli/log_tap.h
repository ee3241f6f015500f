// The bytes the ports read and write, taken from the library's traffic log:
// the library hands the application frames only, and its log is the one
// record of the raw bytes. The log is buffered inside the library; Take
// switches logging on again, which closes (so writes out) and reopens each
// port's log file, then reads what was added. Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ktcomm::cli {

class LogTap {
 public:
  struct Chunk {
    bool reading = true;  // read from the device, else written to it
    std::vector<uint8_t> bytes;
  };

  // Private files go into `folder`.
  explicit LogTap(std::string folder = "/tmp") : folder(std::move(folder)) {}
  LogTap(const LogTap&) = delete;
  LogTap& operator=(const LogTap&) = delete;
  ~LogTap() { Stop(); }

  // userLog: the file --log names, read on from its present end; empty: two
  // private files taken in turn and emptied once read, so neither grows.
  // False when logging could not be switched on.
  bool Start(const std::string& userLog);
  // What was logged since the last call, in order.
  std::vector<Chunk> Take();
  // Stops reading; private files are removed and the log is closed, to
  // reopen on /dev/null should the port reopen (the library cannot switch
  // logging off). A user's log goes on.
  void Stop();
  bool Active() const { return active; }

 private:
  void Parse(const std::string& text, std::vector<Chunk>* chunks);

  std::string folder;
  bool active = false;
  std::string userLog;
  long long userOffset = 0;
  std::string privateFiles[2];
  int current = 0;  // the private file the library writes to now
  bool reading = true;
  std::string carry;  // a token cut at the end of what was read
};

}  // namespace ktcomm::cli
