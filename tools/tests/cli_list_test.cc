// ktcomm list: the listing's text and JSON for a machine of the test's own
// making, and the tool on this machine showing what the library finds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ktcomm_ext.h"
#include "tools/cli/cli_list.h"
#include "tools/tests/child_process.h"

namespace ktcomm::test_support {
namespace {

namespace fs = std::filesystem;
using cli::Mapping;
using cli::SerialDevice;
using cli::UsbInfo;

constexpr int kDeadlineMs = 10000;

// A USB adapter behind a by-id link, a USB board whose texts need escaping
// (and hold bytes that are not UTF-8), and two UARTs.
std::vector<SerialDevice> Machine() {
  return {
      {"/dev/serial/by-id/usb-FTDI_A1B2C3", "/dev/ttyUSB0",
       UsbInfo{"0403", "6001", "FTDI", "FT232R USB UART", "A1B2C3"}, 0},
      {"/dev/ttyACM0", "/dev/ttyACM0",
       UsbInfo{"2341", "0043", "Maker \"Q\"", "Board\\Uno", "12\t34\xff"}, 0},
      {"/dev/ttyS0", "/dev/ttyS0", std::nullopt, 4},
      {"/dev/ttyS10", "/dev/ttyS10", std::nullopt, 1},
  };
}

// JSON as python3's json.tool prints it, keys sorted and compact; "no
// python3" without one.
std::string ThroughJsonTool(const std::string& json) {
  fs::path file = fs::path(::testing::TempDir()) /
                  ("ktcomm_list_" + std::to_string(getpid()) + ".json");
  std::ofstream(file, std::ios::binary) << json;
  Outcome run = RunToEnd(
      {"/usr/bin/env", "python3", "-m", "json.tool", "--sort-keys", "--compact", file.string()},
      {}, kDeadlineMs);
  fs::remove(file);
  if (run.exitCode == 127) return "no python3";
  EXPECT_EQ(run.exitCode, 0) << run.err << "\n" << json;
  return run.out;
}

TEST(ListText, NamesEachDeviceThenTheMappings) {
  std::vector<Mapping> mappings = {{1, "/dev/serial/by-id/usb-FTDI_A1B2C3", true},
                                   {4, "/nonexistent/tty", false}};
  EXPECT_EQ(cli::ListText(Machine(), mappings),
            "Serial devices:\n"
            "  /dev/serial/by-id/usb-FTDI_A1B2C3 -> /dev/ttyUSB0  USB 0403:6001 FTDI FT232R USB "
            "UART, serial A1B2C3\n"
            "  /dev/ttyACM0  USB 2341:0043 Maker \"Q\" Board\\Uno, serial 12?34\xff\n"
            "  /dev/ttyS0  UART, type 4\n"
            "  /dev/ttyS10  UART, type 1\n"
            "Mappings in force:\n"
            "  KTCOMM_COM1=/dev/serial/by-id/usb-FTDI_A1B2C3\n"
            "  KTCOMM_COM4=/nonexistent/tty  (does not exist)\n");
  EXPECT_EQ(cli::ListText({}, {}),
            "No serial devices found.\nNo KTCOMM_COM<n> is set: port n opens /dev/ttyS<n-1>.\n");
}

TEST(ListJson, IsValidAndEscaped) {
  std::string parsed =
      ThroughJsonTool(cli::ListJson(Machine(), {{2, "/dev/\"odd\"\\name", false}}));
  if (parsed == "no python3") GTEST_SKIP() << "no python3";
  EXPECT_EQ(parsed,
            R"({"devices":[)"
            R"({"path":"/dev/serial/by-id/usb-FTDI_A1B2C3","tty":"/dev/ttyUSB0","uart_type":null,)"
            R"("usb":{"manufacturer":"FTDI","product":"FT232R USB UART","product_id":"6001",)"
            R"("serial":"A1B2C3","vendor_id":"0403"}},)"
            R"({"path":"/dev/ttyACM0","tty":"/dev/ttyACM0","uart_type":null,)"
            R"("usb":{"manufacturer":"Maker \"Q\"","product":"Board\\Uno","product_id":"0043",)"
            R"("serial":"12\t34\ufffd","vendor_id":"2341"}},)"
            R"({"path":"/dev/ttyS0","tty":"/dev/ttyS0","uart_type":4,"usb":null},)"
            R"({"path":"/dev/ttyS10","tty":"/dev/ttyS10","uart_type":1,"usb":null}],)"
            R"("mappings":[{"device":"/dev/\"odd\"\\name","exists":false,"port":2,)"
            R"("variable":"KTCOMM_COM2"}]})"
            "\n");
  EXPECT_EQ(ThroughJsonTool(cli::ListJson({}, {})), "{\"devices\":[],\"mappings\":[]}\n");
}

// The tool lists what the library finds here, whatever this machine has.
TEST(ListTool, ShowsTheLibrarysDevicesAndTheMappings) {
  std::vector<KTXDevice> listed(64);
  uint32_t count = 0;
  ASSERT_EQ(KTXListDevices(listed.data(), static_cast<uint32_t>(listed.size()), &count), KT_OK);
  std::string mapped = (fs::path(::testing::TempDir()) / "ktcomm-list-stand-in").string();
  std::ofstream(mapped) << "";
  std::vector<std::string> env = {"KTCOMM_COM10=" + mapped};
  for (int port = 1; port <= 9; ++port) env.push_back("KTCOMM_COM" + std::to_string(port) + "=");

  Outcome run = RunToEnd({KTCOMM_CLI_PATH, "list"}, env, kDeadlineMs);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  for (uint32_t i = 0; i < count; ++i) {
    EXPECT_NE(run.out.find("  " + std::string(listed[i].path)), std::string::npos) << run.out;
  }
  EXPECT_NE(run.out.find("Mappings in force:\n  KTCOMM_COM10=" + mapped + "\n"), std::string::npos)
      << run.out;

  run = RunToEnd({KTCOMM_CLI_PATH, "list", "--json"}, env, kDeadlineMs);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::string parsed = ThroughJsonTool(run.out);
  fs::remove(mapped);
  if (parsed == "no python3") GTEST_SKIP() << "no python3";
  EXPECT_NE(parsed.find("\"mappings\":[{\"device\":\"" + mapped +
                        "\",\"exists\":true,\"port\":10,\"variable\":\"KTCOMM_COM10\"}]"),
            std::string::npos)
      << parsed;
}

}  // namespace
}  // namespace ktcomm::test_support
