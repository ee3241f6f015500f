// ktcomm list against a /dev and sysfs tree of the test's own making.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tools/tests/child_process.h"

namespace ktcomm::test_support {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr int kDeadlineMs = 10000;

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::path(::testing::TempDir()) /
           ("ktcomm_list_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root / "dev");
    fs::create_directories(root / "sys" / "class" / "tty");
  }
  void TearDown() override { fs::remove_all(root); }

  void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }
  // A tty: its sysfs entry, pointing at `device` (relative to sys/devices)
  // when one is given, and its node unless it has none.
  void AddTty(const std::string& name, const std::string& device, bool node = true) {
    fs::path entry = root / "sys" / "class" / "tty" / name;
    fs::create_directories(entry);
    if (!device.empty()) {
      fs::create_directories(root / "sys" / "devices" / device);
      fs::create_directory_symlink(root / "sys" / "devices" / device, entry / "device");
    }
    if (node) Write(root / "dev" / name, "");
  }
  void AddUsbDevice(const std::string& device, const std::string& ids, const std::string& maker,
                    const std::string& product, const std::string& serial) {
    fs::path dir = root / "sys" / "devices" / device;
    Write(dir / "idVendor", ids.substr(0, 4) + "\n");
    Write(dir / "idProduct", ids.substr(5) + "\n");
    Write(dir / "manufacturer", maker + "\n");
    Write(dir / "product", product + "\n");
    Write(dir / "serial", serial + "\n");
  }
  // A machine with a USB adapter behind a by-id link, a USB modem without
  // one, and 8250 lines of which some have a UART.
  void BuildMachine() {
    AddUsbDevice("pci0000:00/usb1/1-2", "0403:6001", "FTDI", "FT232R USB UART", "A1B2C3");
    AddTty("ttyUSB0", "pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0");
    fs::create_directories(root / "dev" / "serial" / "by-id");
    fs::create_symlink("../../ttyUSB0", root / "dev" / "serial" / "by-id" / "usb-FTDI_A1B2C3");
    fs::create_symlink("../../ttyUSB7", root / "dev" / "serial" / "by-id" / "usb-unplugged");

    // Texts that need escaping, and bytes that are not UTF-8.
    AddUsbDevice("pci0000:00/usb1/1-3", "2341:0043", "Maker \"Q\"", "Board\\Uno", "12\t34\xff");
    AddTty("ttyACM0", "pci0000:00/usb1/1-3/1-3:1.0");
    AddTty("ttyUSB3", "pci0000:00/usb1/1-4/1-4:1.0", /*node=*/false);  // gone from /dev

    for (auto [name, type] : {std::pair{"ttyS0", "4"},
                              {"ttyS1", "0"},
                              {"ttyS2", "1"},
                              {"ttyS10", "4"},
                              {"ttyS11", ""}}) {
      AddTty(name, "platform/serial8250/tty/" + std::string(name));
      if (*type != '\0') Write(root / "sys" / "class" / "tty" / name / "type", type + "\n"s);
    }
    AddTty("tty0", "");
  }

  Outcome List(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), {KTCOMM_CLI_PATH, "list", "--dev-root", (root / "dev").string(),
                               "--sys-root", (root / "sys").string()});
    // Only the mappings the test sets are in force.
    for (int port = 1; port <= 10; ++port) {
      std::string name = "KTCOMM_COM" + std::to_string(port) + "=";
      bool set = std::any_of(env.begin(), env.end(),
                             [&](const std::string& entry) { return entry.starts_with(name); });
      if (!set) env.push_back(name);
    }
    return RunToEnd(args, env, kDeadlineMs);
  }

  // The output of `list --json` as python3's json.tool prints it, keys
  // sorted and compact; skips the test without python3.
  std::string ThroughJsonTool(const std::string& json) {
    fs::path file = root / "list.json";
    Write(file, json);
    Outcome run = RunToEnd(
        {"/usr/bin/env", "python3", "-m", "json.tool", "--sort-keys", "--compact", file.string()},
        {}, kDeadlineMs);
    if (run.exitCode == 127) return "no python3";
    EXPECT_EQ(run.exitCode, 0) << run.err << "\n" << json;
    return run.out;
  }

  // `text` with each @ replaced by the fake /dev.
  std::string InDev(std::string text) {
    std::string dev = (root / "dev").string();
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1)) {
      text.replace(at, 1, dev);
      at += dev.size() - 1;
    }
    return text;
  }

  fs::path root;
};

TEST_F(ListTest, NamesLinkedAndUsbTtysAndOnlyTheUartsThatExist) {
  BuildMachine();
  Outcome run = List(
      {}, {InDev("KTCOMM_COM1=@/serial/by-id/usb-FTDI_A1B2C3"), "KTCOMM_COM4=/nonexistent/tty"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, InDev("Serial devices:\n"
                           "  @/serial/by-id/usb-FTDI_A1B2C3 -> @/ttyUSB0  USB 0403:6001 FTDI "
                           "FT232R USB UART, serial A1B2C3\n"
                           "  @/ttyACM0  USB 2341:0043 Maker \"Q\" Board\\Uno, serial 12?34\xff\n"
                           "  @/ttyS0  UART, type 4\n"
                           "  @/ttyS2  UART, type 1\n"
                           "  @/ttyS10  UART, type 4\n"
                           "Mappings in force:\n"
                           "  KTCOMM_COM1=@/serial/by-id/usb-FTDI_A1B2C3\n"
                           "  KTCOMM_COM4=/nonexistent/tty  (does not exist)\n"));
}

TEST_F(ListTest, JsonIsValidAndEscaped) {
  BuildMachine();
  Outcome run = List({"--json"}, {"KTCOMM_COM2=/dev/\"odd\"\\name"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::string parsed = ThroughJsonTool(run.out);
  if (parsed == "no python3") GTEST_SKIP() << "no python3";
  std::string expected =
      R"({"devices":[)"
      R"({"path":"@/serial/by-id/usb-FTDI_A1B2C3","tty":"@/ttyUSB0","uart_type":null,)"
      R"("usb":{"manufacturer":"FTDI","product":"FT232R USB UART","product_id":"6001",)"
      R"("serial":"A1B2C3","vendor_id":"0403"}},)"
      R"({"path":"@/ttyACM0","tty":"@/ttyACM0","uart_type":null,)"
      R"("usb":{"manufacturer":"Maker \"Q\"","product":"Board\\Uno","product_id":"0043",)"
      R"("serial":"12\t34\ufffd","vendor_id":"2341"}},)"
      R"({"path":"@/ttyS0","tty":"@/ttyS0","uart_type":4,"usb":null},)"
      R"({"path":"@/ttyS2","tty":"@/ttyS2","uart_type":1,"usb":null},)"
      R"({"path":"@/ttyS10","tty":"@/ttyS10","uart_type":4,"usb":null}],)"
      R"("mappings":[{"device":"/dev/\"odd\"\\name","exists":false,"port":2,)"
      R"("variable":"KTCOMM_COM2"}]})"
      "\n";
  EXPECT_EQ(parsed, InDev(expected));
}

// Without serial hardware only the mappings are left, and without those an
// empty but valid listing.
TEST_F(ListTest, AMachineWithoutSerialHardwareListsTheMappingsOnly) {
  std::string mapped = (root / "dev" / "pts-stand-in").string();
  Write(mapped, "");
  Outcome run = List({}, {"KTCOMM_COM10=" + mapped});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "No serial devices found.\nMappings in force:\n  KTCOMM_COM10=" + mapped + "\n");
  run = List({});
  EXPECT_EQ(run.out,
            "No serial devices found.\nNo KTCOMM_COM<n> is set: port n opens /dev/ttyS<n-1>.\n");

  run = List({"--json"}, {"KTCOMM_COM10=" + mapped});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::string parsed = ThroughJsonTool(run.out);
  if (parsed == "no python3") GTEST_SKIP() << "no python3";
  EXPECT_EQ(parsed, "{\"devices\":[],\"mappings\":[{\"device\":\"" + mapped +
                        "\",\"exists\":true,\"port\":10,\"variable\":\"KTCOMM_COM10\"}]}\n");
  EXPECT_EQ(ThroughJsonTool(List({"--json"}).out), "{\"devices\":[],\"mappings\":[]}\n");
}

}  // namespace
}  // namespace ktcomm::test_support
