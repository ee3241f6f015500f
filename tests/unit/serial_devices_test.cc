// The device listing against a /dev and sysfs tree of the test's own making,
// and the parsing of the attribute files it reads.
#include "platform/posix/serial_devices.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace ktcomm::platform::posix {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class SerialDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::path(::testing::TempDir()) /
           ("ktcomm_devices_" + std::to_string(getpid()) + "_" +
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
  void AddUsbDevice(const std::string& device, const std::string& vendor,
                    const std::string& product, const std::string& maker,
                    const std::string& name, const std::string& serial) {
    fs::path dir = root / "sys" / "devices" / device;
    Write(dir / "idVendor", vendor + "\n");
    Write(dir / "idProduct", product + "\n");
    Write(dir / "manufacturer", maker + "\n");
    Write(dir / "product", name + "\n");
    Write(dir / "serial", serial + "\n");
  }
  std::vector<SerialDeviceInfo> Find() {
    return FindSerialDevices({(root / "dev").string(), (root / "sys").string()});
  }
  std::string Dev(const std::string& name) { return (root / "dev" / name).string(); }

  fs::path root;
};

// A USB adapter behind a by-id link and a stale link, a USB board without
// one whose texts are odd, a USB tty gone from /dev, and 8250 lines of which
// some have a UART: the links first, then the USB ttys, then the UARTs, in
// natural order.
TEST_F(SerialDevicesTest, LinksThenUsbTtysThenOnlyTheUartsThatExist) {
  AddUsbDevice("pci0000:00/usb1/1-2", "0403", "6001", "FTDI", "FT232R USB UART", "A1B2C3");
  AddTty("ttyUSB0", "pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0");
  fs::create_directories(root / "dev" / "serial" / "by-id");
  fs::create_symlink("../../ttyUSB0", root / "dev" / "serial" / "by-id" / "usb-FTDI_A1B2C3");
  fs::create_symlink("../../ttyUSB7", root / "dev" / "serial" / "by-id" / "usb-unplugged");
  AddUsbDevice("pci0000:00/usb1/1-3", "2341", "43", "Maker \"Q\"  \r", "Board\\Uno",
               "12\t34\xff\nsecond line");
  AddTty("ttyACM0", "pci0000:00/usb1/1-3/1-3:1.0");
  AddTty("ttyUSB3", "pci0000:00/usb1/1-4/1-4:1.0", /*node=*/false);
  for (auto [name, type] : {std::pair{"ttyS0", "4"},
                            {"ttyS1", "0"},
                            {"ttyS2", "1"},
                            {"ttyS10", "4"},
                            {"ttyS11", ""},
                            {"ttyS12", "-3"},
                            {"ttyS13", "99999999999"}}) {
    AddTty(name, "platform/serial8250/tty/" + std::string(name));
    if (*type != '\0') Write(root / "sys" / "class" / "tty" / name / "type", type + "\n"s);
  }
  AddTty("tty0", "");

  std::vector<SerialDeviceInfo> found = Find();
  ASSERT_EQ(found.size(), 5u);
  EXPECT_EQ(found[0].path, Dev("serial/by-id/usb-FTDI_A1B2C3"));
  EXPECT_EQ(found[0].tty, Dev("ttyUSB0"));
  EXPECT_TRUE(found[0].usb);
  EXPECT_EQ(found[0].vendorId, 0x0403);
  EXPECT_EQ(found[0].productId, 0x6001);
  EXPECT_EQ(found[0].manufacturer, "FTDI");
  EXPECT_EQ(found[0].product, "FT232R USB UART");
  EXPECT_EQ(found[0].serial, "A1B2C3");

  EXPECT_EQ(found[1].path, Dev("ttyACM0"));
  EXPECT_EQ(found[1].tty, Dev("ttyACM0"));
  EXPECT_EQ(found[1].productId, 0x0043);
  EXPECT_EQ(found[1].manufacturer, "Maker \"Q\"");  // trailing blanks dropped
  EXPECT_EQ(found[1].serial, "12\t34\xff");         // the first line only

  std::vector<std::pair<std::string, int>> uarts;
  for (size_t i = 2; i < found.size(); ++i) {
    EXPECT_FALSE(found[i].usb);
    EXPECT_EQ(found[i].path, found[i].tty);
    uarts.emplace_back(found[i].path, found[i].uartType);
  }
  EXPECT_EQ(uarts, (std::vector<std::pair<std::string, int>>{
                       {Dev("ttyS0"), 4}, {Dev("ttyS2"), 1}, {Dev("ttyS10"), 4}}));
}

// A sysfs whose links lead out of it, files that are not attributes, and
// ids that are not ids: nothing read from outside the tree, nothing taken
// that does not parse.
TEST_F(SerialDevicesTest, StaysInsideSysfsAndTakesOnlyWhatParses) {
  // The ids are above the sysfs root: the walk up stops at the root.
  Write(root / "idVendor", "dead\n");
  AddTty("ttyUSB0", "usb9/9-1:1.0");
  AddUsbDevice("usb9/9-2", "04g3", "123456", "", "", "");
  AddTty("ttyUSB1", "usb9/9-2/9-2:1.0");
  Write(root / "sys" / "devices" / "usb9" / "9-3" / "idVendor", std::string(100000, '1'));
  AddTty("ttyUSB2", "usb9/9-3/9-3:1.0");

  std::vector<SerialDeviceInfo> found = Find();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_FALSE(found[0].usb);
  fs::remove_all(root / "sys");  // and without a sysfs, nothing
  EXPECT_TRUE(Find().empty());
  EXPECT_TRUE(found[1].usb);
  EXPECT_EQ(found[1].vendorId, 0);
  EXPECT_EQ(found[1].productId, 0);
  EXPECT_TRUE(found[2].usb);
  EXPECT_EQ(found[2].vendorId, 0);
}

TEST(SysfsAttributeTest, ParsesIdsAndTypesAndNothingElse) {
  EXPECT_EQ(AttributeLine("0403\n"), "0403");
  EXPECT_EQ(AttributeLine("FT232R \t\r\nmore\n"), "FT232R");
  EXPECT_EQ(AttributeLine(""), "");
  EXPECT_EQ(AttributeLine(std::string("a\0b\n", 4)), std::string("a\0b", 3));

  uint16_t id = 7;
  for (auto [text, value] :
       {std::pair{"0403", 0x0403}, {"ffff", 0xFFFF}, {"1", 1}, {"A1b2", 0xA1B2}}) {
    EXPECT_TRUE(ParseUsbId(text, &id)) << text;
    EXPECT_EQ(id, value) << text;
  }
  id = 7;
  for (const char* bad : {"", "12345", "04g3", "-1", "+1", " 1", "0x1", "1 "}) {
    EXPECT_FALSE(ParseUsbId(bad, &id)) << bad;
  }
  EXPECT_EQ(id, 7);

  EXPECT_EQ(ParseUartType("4"), 4);
  EXPECT_EQ(ParseUartType("123"), 123);
  for (const char* none : {"", "0", "-4", "4x", " 4", "99999999999", "x"}) {
    EXPECT_EQ(ParseUartType(none), 0) << none;
  }
}

}  // namespace
}  // namespace ktcomm::platform::posix
