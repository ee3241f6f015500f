// What the device list and the open explanation read from the system, as
// random text: sysfs attribute files in a tree of our own, read by the
// listing, /proc/locks as the lock table, and every text cut into the
// extension's fixed fields. No crash, and what comes out holds its shape.
//
// Input: parts separated by 0xFE: idVendor, idProduct, manufacturer,
// product, serial, the tty's type, the lock table; a part's first byte
// also picks a field size for the cuts. Files are slow to write, so only an
// input whose first byte is a multiple of 4 goes through the tree; every
// one goes through the parsers.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "api/ext_text.h"
#include "platform/posix/open_diagnosis.h"
#include "platform/posix/serial_devices.h"

namespace {

namespace fs = std::filesystem;
using ktcomm::platform::posix::DeviceRoots;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Whether text is valid UTF-8 (the cut must not break a text that is).
bool ValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                  : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

void CheckCut(std::string_view text, size_t capacity) {
  std::vector<char> field(capacity, '\x55');
  bool cut = ktcomm::ext::CopyText(text, field.data(), capacity);
  size_t length = strnlen(field.data(), capacity);
  Check(length < capacity);                              // terminated inside the field
  Check(text.substr(0, length) == std::string_view(field.data(), length));  // a prefix
  Check(cut == (length != text.size()));                 // said exactly when cut
  std::string_view whole = text.substr(0, text.find('\0'));
  if (ValidUtf8(whole)) Check(ValidUtf8(std::string_view(field.data(), length)));
}

// A sysfs with one USB tty and one 8250 line, whose attribute files the
// input fills.
struct Tree {
  Tree() {
    // Memory, where there is a file system in it: rewriting files on a disk
    // costs the fuzzer most of its runs.
    std::error_code ec;
    fs::path top =
        fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    root = top / ("ktcomm_sysfs_fuzz_" + std::to_string(getpid()));
    fs::remove_all(root);
    usb = root / "sys" / "devices" / "usb1" / "1-1";
    fs::create_directories(usb / "1-1:1.0");
    fs::create_directories(root / "sys" / "class" / "tty" / "ttyS0");
    fs::create_directories(root / "sys" / "class" / "tty" / "ttyUSB0");
    fs::path tty = root / "sys" / "class" / "tty" / "ttyUSB0";
    fs::create_directory_symlink(usb / "1-1:1.0", tty / "device");
    fs::create_directories(root / "dev");
    std::ofstream(root / "dev" / "ttyS0");
    std::ofstream(root / "dev" / "ttyUSB0");
  }
  ~Tree() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  void Write(const fs::path& file, std::string_view text) {
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(text.data(), text.size());
  }
  fs::path root;
  fs::path usb;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Tree tree;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    size_t end = input.find('\xFE', start);
    parts.push_back(input.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos || parts.size() == 7) break;
    start = end + 1;
  }
  parts.resize(7);

  if (size > 0 && data[0] % 4 == 0) {
    const char* files[] = {"idVendor", "idProduct", "manufacturer", "product", "serial"};
    for (int i = 0; i < 5; ++i) tree.Write(tree.usb / files[i], parts[i]);
    tree.Write(tree.root / "sys" / "class" / "tty" / "ttyS0" / "type", parts[5]);
    auto found = ktcomm::platform::posix::FindSerialDevices(
        DeviceRoots{(tree.root / "dev").string(), (tree.root / "sys").string()});
    int type = ktcomm::platform::posix::ParseUartType(
        ktcomm::platform::posix::AttributeLine(parts[5].substr(0, 4096)));
    Check(found.size() == (type != 0 ? 2u : 1u));
    Check(found[0].usb && found[0].tty == (tree.root / "dev" / "ttyUSB0").string());
    if (type != 0) Check(found[1].uartType == type && type > 0);
    for (const auto& device : found) {
      for (const std::string* text : {&device.manufacturer, &device.product, &device.serial}) {
        Check(text->find('\n') == std::string::npos && text->size() <= 4096);
        for (size_t capacity : {size_t{1}, size_t{2}, size_t{5}, size_t{128}}) {
          CheckCut(*text, capacity);
        }
      }
    }
  }
  for (std::string_view part : parts) {
    std::string line = ktcomm::platform::posix::AttributeLine(part);
    Check(line.find('\n') == std::string::npos && part.substr(0, line.size()) == line);
    Check(line.empty() || (line.back() != ' ' && line.back() != '\t' && line.back() != '\r'));
    uint16_t id = 0;
    if (ktcomm::platform::posix::ParseUsbId(part, &id)) Check(!part.empty() && part.size() <= 4);
    size_t capacity = part.empty() ? 1 : 1 + static_cast<unsigned char>(part[0]) % 16;
    CheckCut(part, capacity);
  }

  std::string_view locks = parts[6];
  unsigned major = parts[0].empty() ? 0 : static_cast<unsigned char>(parts[0][0]);
  int pid = ktcomm::platform::posix::FlockHolder(locks, major, 5, 87);
  Check(pid >= 0);
  if (pid > 0) Check(locks.find(std::to_string(pid)) != std::string_view::npos);
  return 0;
}
