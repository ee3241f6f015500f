// ktcomm: the library's operations from a shell. Each run opens one port,
// does one thing (or, with listen and term, stays) and closes it again; list
// opens nothing.
#include <CLI/CLI.hpp>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ktcomm_ext.h"
#include "tools/cli/cli_list.h"
#include "tools/cli/cli_port.h"
#include "tools/cli/cli_session.h"
#include "tools/common/hex.h"

namespace {

using namespace ktcomm::cli;

constexpr char kExitCodes[] =
    "Exit codes: 0 done, 1 failed otherwise (a receive overflow included),\n"
    "2 bad arguments, 3 the port did not open, 4 timed out, 5 port not open,\n"
    "6 a size is too small, 7 not a port number.";

struct Arguments {
  SessionOptions session;
  LineOptions& line = session.line;
  std::string parity = "N";
  std::string command;            // CMD as typed
  std::vector<std::string> data;  // HEX arguments as typed
  uint32_t timeoutMs = 1000;
  bool json = false;
};

void AddLineOptions(CLI::App* sub, Arguments* args) {
  LineOptions& line = args->line;
  sub->add_option("PORT", line.port, "Port number, 1 to 10")->required();
  sub->add_option("--device", line.device, "Device to open as PORT (sets KTCOMM_COM<PORT>)")
      ->type_name("PATH");
  // Checked here, so that a setting no line can have is a usage error
  // rather than an open failure.
  sub->add_option("--baud", line.baud, "Baud rate")
      ->check(CLI::Validator(
          [](const std::string& text) -> std::string {
            int rate = 0;
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rate);
            bool whole = ec == std::errc() && end == text.data() + text.size();
            return whole && rate > 0 ? "" : "must be a positive number of bits per second";
          },
          "RATE"))
      ->capture_default_str();
  sub->add_option("--parity", args->parity, "Parity: N, E, O, M or S")
      ->check(CLI::IsMember({"N", "E", "O", "M", "S"}))
      ->capture_default_str();
  sub->add_option("--data", line.dataBits, "Data bits, 5 to 8")
      ->check(CLI::Range(5, 8))
      ->capture_default_str();
  sub->add_option("--stop", line.stopBits, "Stop bits, 1 or 2")
      ->check(CLI::IsMember({1, 2}))
      ->capture_default_str();
  sub->add_option("--tx-size", line.txSize, "Command and transmit buffer size")
      ->capture_default_str();
  sub->add_option("--rx-size", line.rxSize, "Receive and message buffer size")
      ->capture_default_str();
  sub->add_option("--protocol", line.protocol, "Frames to decode: 1 (00 80 ...) or 2 (1b f3 ...)")
      ->check(CLI::IsMember({1, 2}))
      ->capture_default_str();
  sub->add_option("--log", line.logFile, "Append the traffic log to FILE")->type_name("FILE");
}

void AddCommandArguments(CLI::App* sub, Arguments* args) {
  sub->add_option("CMD", args->command, "Command byte in hex")->required();
  sub->add_option("HEX", args->data, "Data bytes in hex (\"05\", \"dead beef\", ...)");
}

// CMD and HEX as bytes of a frame the library can build; false after saying
// what is wrong.
bool CommandBytes(const Arguments& args, uint8_t* command, std::vector<uint8_t>* data) {
  if (!ktcomm::hex::ParseByte(args.command, command)) {
    std::fprintf(stderr, "ktcomm: CMD '%s' is not one hex byte\n", args.command.c_str());
    return false;
  }
  for (const std::string& text : args.data) {
    if (!ktcomm::hex::Parse(text, data)) {
      std::fprintf(stderr, "ktcomm: '%s' is not hex bytes\n", text.c_str());
      return false;
    }
  }
  if (data->size() > kMaxCommandData) {
    std::fprintf(stderr,
                 "ktcomm: a command frame carries at most %zu data bytes, not %zu "
                 "(send a frame of your own with raw)\n",
                 kMaxCommandData, data->size());
    return false;
  }
  return true;
}

int RunSend(const Arguments& args) {
  uint8_t command;
  std::vector<uint8_t> data;
  if (!CommandBytes(args, &command, &data)) return kExitUsage;
  Port port;
  if (int code = port.Open(args.line)) return code;
  int result =
      KTSendCommand(port.Number(), command, static_cast<uint32_t>(data.size()), data.data());
  if (result == KT_TOO_SMALL) {
    std::fprintf(stderr, "ktcomm: a command with %zu data bytes does not fit --tx-size %d\n",
                 data.size(), args.line.txSize);
  }
  if (result != KT_OK) return ExitCodeFor(result);
  return kExitOk;
}

int RunRaw(const Arguments& args) {
  std::vector<uint8_t> bytes;
  for (const std::string& text : args.data) {
    if (!ktcomm::hex::Parse(text, &bytes)) {
      std::fprintf(stderr, "ktcomm: '%s' is not hex bytes\n", text.c_str());
      return kExitUsage;
    }
  }
  // The library would refuse these with an error of its own and still
  // report success.
  if (bytes.size() > static_cast<size_t>(std::max(args.line.txSize, 0))) {
    std::fprintf(stderr, "ktcomm: %zu bytes do not fit --tx-size %d\n", bytes.size(),
                 args.line.txSize);
    return kExitSize;
  }
  Port port;
  if (int code = port.Open(args.line)) return code;
  int result = KTSendData(port.Number(), bytes.data(), static_cast<uint32_t>(bytes.size()));
  if (result != KT_OK) return ExitCodeFor(result);
  return kExitOk;
}

int RunCall(const Arguments& args) {
  uint8_t command;
  std::vector<uint8_t> data;
  if (!CommandBytes(args, &command, &data)) return kExitUsage;
  Port port;
  if (int code = port.Open(args.line)) return code;
  // No frame can carry more data than the receive buffer holds.
  std::vector<uint8_t> answer(std::max(args.line.rxSize, 1));
  uint32_t length = static_cast<uint32_t>(answer.size());
  uint8_t answerCommand = 0;
  int result;
  {
    HangUpGuard guard(port);
    result = KTSendCommandAndWait(port.Number(), command, data.data(),
                                  static_cast<uint32_t>(data.size()), args.timeoutMs,
                                  &answerCommand, answer.data(), &length);
  }
  if (result != KT_OK && port.HungUp()) {
    std::fprintf(stderr, "ktcomm: port %d lost its device\n", port.Number());
    return kExitFailed;
  }
  switch (result) {
    case KT_OK:
      answer.resize(length);
      std::printf("%s\n", DescribeFrame(answerCommand, answer).c_str());
      return kExitOk;
    case KT_TIMED_OUT: std::fprintf(stderr, "ktcomm: no answer within %u ms\n", args.timeoutMs); break;
    case KT_OVERFLOW: std::fprintf(stderr, "ktcomm: the receive buffer overflowed (see --rx-size)\n"); break;
    case KT_TOO_SMALL:
      std::fprintf(stderr, "ktcomm: a command with %zu data bytes does not fit --tx-size %d\n",
                   data.size(), args.line.txSize);
      break;
  }
  return ExitCodeFor(result);
}

// The tool's and the library's versions: "ktcomm 1.41 (library 1.41 Release)".
std::string VersionText() {
  char text[32];
  int length = sizeof text;
  KTGetDllVersion(text, &length);
  return std::string("ktcomm ") + KTCOMM_TOOL_VERSION + " (library " + text + ")";
}

int RunVersion() {
  std::printf("%s\n", VersionText().c_str());
  return kExitOk;
}

int RunList(const Arguments& args) {
  std::vector<SerialDevice> devices;
  if (!FindSerialDevices(&devices)) return kExitFailed;
  std::vector<Mapping> mappings = MappingsInForce();
  std::string text = args.json ? ListJson(devices, mappings) : ListText(devices, mappings);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return kExitOk;
}

// "CTS=1 DSR=1 DCD=0 RI=0 DTR=1 RTS=1".
std::string ModemText(uint32_t lines) {
  static constexpr std::pair<uint32_t, const char*> kLines[] = {
      {KTX_LINE_CTS, "CTS"}, {KTX_LINE_DSR, "DSR"}, {KTX_LINE_DCD, "DCD"},
      {KTX_LINE_RI, "RI"},   {KTX_LINE_DTR, "DTR"}, {KTX_LINE_RTS, "RTS"}};
  std::string text;
  for (auto [bit, name] : kLines) {
    text += (text.empty() ? "" : " ") + std::string(name) + ((lines & bit) ? "=1" : "=0");
  }
  return text;
}

int RunModem(const Arguments& args) {
  Port port;
  if (int code = port.Open(args.line)) return code;
  uint32_t lines = 0;
  int result = KTXGetModemLines(port.Number(), &lines);
  if (result == KT_OK) {
    std::printf("%s\n", ModemText(lines).c_str());
    return kExitOk;
  }
  if (result == KTX_NOT_SUPPORTED) {
    std::fprintf(stderr,
                 "ktcomm: %s has no modem lines (a pseudo-terminal or a network device has "
                 "none)\n",
                 DevicePath(port.Number()).c_str());
  } else {
    std::fprintf(stderr, "ktcomm: cannot read the modem lines of port %d: %s\n", port.Number(),
                 KTXResultText(result));
  }
  return ExitCodeFor(result);
}

// CLI11 would call an unknown first word an unexpected argument, or ask for
// a subcommand; say plainly that it is not a command and which there are.
bool KnownCommand(const CLI::App& app, int argc, char** argv) {
  if (argc >= 2 && argv[1][0] == '-') return true;
  std::string names;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (argc >= 2 && sub->get_name() == argv[1]) return true;
    names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  if (argc < 2) {
    std::fprintf(stderr, "ktcomm: a command is needed: %s (see --help)\n", names.c_str());
  } else {
    std::fprintf(stderr, "ktcomm: '%s' is not a command; the commands are %s (see --help)\n",
                 argv[1], names.c_str());
  }
  return false;
}

void AddSessionOptions(CLI::App* sub, Arguments* args) {
  AddLineOptions(sub, args);
  sub->add_flag("--reconnect", args->session.reconnect,
                "After a hang-up, wait for the device to come back and reopen it");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Talks to a serial device through the KTcomm library.", "ktcomm"};
  app.footer(kExitCodes);
  app.require_subcommand(1);
  app.set_version_flag("--version", VersionText(), "Print the tool's and the library's versions");
  Arguments args;

  CLI::App* version = app.add_subcommand("version", "Print the tool's and the library's versions");

  CLI::App* send = app.add_subcommand("send", "Send a command frame (00 80 LEN CMD DATA)");
  AddLineOptions(send, &args);
  AddCommandArguments(send, &args);

  CLI::App* call = app.add_subcommand("call", "Send a command frame and print the answer");
  AddLineOptions(call, &args);
  AddCommandArguments(call, &args);
  call->add_option("--timeout", args.timeoutMs, "How long to wait for the answer, in ms")
      ->type_name("MS")
      ->capture_default_str();

  CLI::App* raw = app.add_subcommand("raw", "Send bytes as they are");
  AddLineOptions(raw, &args);
  raw->add_option("HEX", args.data, "Bytes in hex")->required();

  SessionOptions& session = args.session;
  CLI::App* listen =
      app.add_subcommand("listen", "Print every frame received, one per line, until interrupted");
  AddSessionOptions(listen, &args);
  listen->add_option("--count", session.count, "Stop after N frames")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber);
  listen->add_option("--duration", session.durationMs, "Stop after MS milliseconds")
      ->type_name("MS")
      ->check(CLI::NonNegativeNumber);
  listen->add_flag("--stats", session.stats,
                   "Show frames/s, bytes/s and errors on standard error, once a second");

  CLI::App* term = app.add_subcommand(
      "term",
      "Send each line typed (HEX as it is, CMD:HEX as a command frame) and show\n"
      "what arrives; reads standard input to its end, so it works in a pipe");
  AddSessionOptions(term, &args);
  term->add_flag("--raw", session.raw,
                 "Also show the bytes read and written (from the traffic log, up to 0.1 s late)");
  term->add_option("--wait", session.waitMs, "How long each line waits for its answer, in ms")
      ->type_name("MS")
      ->check(CLI::Range(1, 600000))
      ->capture_default_str();
  term->add_option("--grace", session.graceMs,
                   "After the end of input, go on showing frames this long, in ms")
      ->type_name("MS")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();

  CLI::App* list = app.add_subcommand(
      "list", "List the serial devices a port can be pointed at, and the KTCOMM_COM<n> in force");
  list->add_flag("--json", args.json, "Print JSON for scripts");

  CLI::App* modem = app.add_subcommand(
      "modem", "Print the modem lines: the inputs CTS, DSR, DCD and RI, the outputs DTR and RTS");
  AddLineOptions(modem, &args);

  if (!KnownCommand(app, argc, argv)) return kExitUsage;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "ktcomm: %s (see --help)\n", e.what());
    return kExitUsage;
  }
  args.line.parity = args.parity[0];

  if (version->parsed()) return RunVersion();
  if (send->parsed()) return RunSend(args);
  if (call->parsed()) return RunCall(args);
  if (raw->parsed()) return RunRaw(args);
  if (list->parsed()) return RunList(args);
  if (modem->parsed()) return RunModem(args);
  if (term->parsed()) return RunTerm(session);
  return RunListen(session);
}
