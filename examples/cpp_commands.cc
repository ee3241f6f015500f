// cpp_commands: request and answer with KTcomm from C++.
//
// Opens port 1 (the device in KTCOMM_COM1, else /dev/ttyS0) and calls each
// command given as CMD[:HEX] (default: 10:05 1a:0102 05), printing the
// answer. Exits 0 when every command was answered, 1 otherwise.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ktcomm.h"

namespace {

struct Frame {
  uint8_t command = 0;
  std::vector<uint8_t> data;
};

std::string Hex(const Frame& frame) {
  std::string text;
  char pair[4];
  std::snprintf(pair, sizeof pair, "%02x", frame.command);
  text += pair;
  for (uint8_t byte : frame.data) {
    std::snprintf(pair, sizeof pair, " %02x", byte);
    text += pair;
  }
  return text;
}

// "1a:0102" as command 1a with data 01 02.
std::optional<Frame> ParseFrame(std::string_view text) {
  Frame frame;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    if (text[i] == ':') ++i;
    if (i + 2 > text.size()) return std::nullopt;
    unsigned value = 0;
    if (std::sscanf(std::string(text.substr(i, 2)).c_str(), "%2x", &value) != 1) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  if (bytes.empty()) return std::nullopt;
  frame.command = bytes[0];
  frame.data.assign(bytes.begin() + 1, bytes.end());
  return frame;
}

// An open port; closing it is the destructor's job, on every way out.
class Port {
 public:
  static constexpr int kRxSize = 256;

  explicit Port(int number) : number(number) {
    result = KTOpenPort(&window, number, 64, kRxSize, 115200, 'N', 8, 1, 1);
  }
  ~Port() {
    if (result == KT_OK) KTClosePort(number);
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  int OpenResult() const { return result; }

  // The answer to `request`, or nothing after timeoutMs.
  std::optional<Frame> Call(const Frame& request, uint32_t timeoutMs) {
    Frame answer;
    answer.data.resize(kRxSize);
    uint32_t length = kRxSize;
    int rc = KTSendCommandAndWait(number, request.command, request.data.data(),
                                  static_cast<uint32_t>(request.data.size()), timeoutMs,
                                  &answer.command, answer.data.data(), &length);
    if (rc != KT_OK) return std::nullopt;
    answer.data.resize(length);
    return answer;
  }

 private:
  // Frames that arrive while no call waits are of no interest here.
  static void Ignore(KTWindow*, uint32_t, uint32_t, uintptr_t) {}

  KTWindow window{&Ignore, nullptr};
  int number;
  int result;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> requests(argv + 1, argv + argc);
  if (requests.empty()) requests = {"10:05", "1a:0102", "05"};

  Port port(1);
  if (port.OpenResult() != KT_OK) {
    std::fprintf(stderr, "cpp_commands: KTOpenPort failed with %d\n", port.OpenResult());
    return 1;
  }
  bool allAnswered = true;
  for (std::string_view text : requests) {
    std::optional<Frame> request = ParseFrame(text);
    if (!request) {
      std::fprintf(stderr, "cpp_commands: '%.*s' is not CMD[:HEX]\n", int(text.size()),
                   text.data());
      return 1;
    }
    std::optional<Frame> answer = port.Call(*request, 1000);
    std::printf("%s -> %s\n", Hex(*request).c_str(), answer ? Hex(*answer).c_str() : "no answer");
    allAnswered = allAnswered && answer.has_value();
  }
  return allAnswered ? 0 : 1;
}
