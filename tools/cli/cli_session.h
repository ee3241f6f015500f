// The commands that stay with a port: listen prints what arrives, term also
// sends what is typed. Both can ride out a hang-up and reopen the port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/cli_port.h"

namespace ktcomm::cli {

struct SessionOptions {
  LineOptions line;
  int count = 0;       // listen: stop after this many frames (0: no limit)
  int durationMs = 0;  // listen: stop after this long (0: no limit)
  bool reconnect = false;
  bool stats = false;      // listen: a live line of rates on standard error
  bool raw = false;        // term: show the bytes read and written too
  uint32_t waitMs = 500;   // term: how long each line waits for its answer
  int graceMs = 500;       // term: how long to go on showing frames after EOF
};

int RunListen(const SessionOptions& options);
int RunTerm(const SessionOptions& options);

// One line typed at term: "HEX" is sent as it is, "CMD:HEX" as a command
// frame; blank lines and lines starting with '#' are nothing.
struct TermLine {
  bool command = false;
  uint8_t commandByte = 0;
  std::vector<uint8_t> bytes;
};
// The line's meaning; nothing for a blank or comment line. False, with
// *error set to one line, for a line that is neither.
bool ParseTermLine(std::string_view text, std::optional<TermLine>* line, std::string* error);

// "12:34:56.789", local time.
std::string Timestamp(std::chrono::system_clock::time_point when);
// "|AB.d|": the bytes as text, a dot for each that does not print.
std::string Printable(const std::vector<uint8_t>& bytes);

}  // namespace ktcomm::cli
