#include "platform/posix/serial_devices.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

namespace ktcomm::platform::posix {
namespace {

namespace fs = std::filesystem;

// A sysfs attribute is a page at most; more is not an attribute.
constexpr size_t kMaxAttribute = 4096;

std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text(kMaxAttribute, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return AttributeLine(text);
}

bool IsUnder(const fs::path& path, const fs::path& top) {
  auto [rest, unused] = std::mismatch(top.begin(), top.end(), path.begin(), path.end());
  return rest == top.end();
}

// Sysfs puts the ids on the USB device, a few levels above the interface the
// tty hangs off; walk up to it, never out of the sysfs root.
void FindUsbInfo(const fs::path& sys, const std::string& tty, SerialDeviceInfo* device) {
  std::error_code ec;
  fs::path top = fs::canonical(sys, ec);
  if (ec) return;
  fs::path dir = fs::canonical(sys / "class" / "tty" / tty / "device", ec);
  if (ec) return;
  for (; dir != top && IsUnder(dir, top); dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", ec)) continue;
    device->usb = true;
    ParseUsbId(ReadAttribute(dir / "idVendor"), &device->vendorId);
    ParseUsbId(ReadAttribute(dir / "idProduct"), &device->productId);
    device->manufacturer = ReadAttribute(dir / "manufacturer");
    device->product = ReadAttribute(dir / "product");
    device->serial = ReadAttribute(dir / "serial");
    return;
  }
}

// "ttyS2" before "ttyS10".
bool NaturalLess(const std::string& a, const std::string& b) {
  auto split = [](const std::string& name) {
    size_t digits = name.find_last_not_of("0123456789") + 1;
    std::string number = name.substr(digits);
    number.erase(0, std::min(number.find_first_not_of('0'), number.size()));
    return std::make_tuple(name.substr(0, digits), number.size(), number, name);
  };
  return split(a) < split(b);
}

// The names in a folder, in natural order; none when it is missing.
std::vector<std::string> SortedNames(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

}  // namespace

std::string AttributeLine(std::string_view fileText) {
  std::string_view line = fileText.substr(0, fileText.find('\n'));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t')) {
    line.remove_suffix(1);
  }
  return std::string(line);
}

bool ParseUsbId(std::string_view text, uint16_t* id) {
  if (text.empty() || text.size() > 4) return false;
  uint16_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  *id = value;
  return true;
}

int ParseUartType(std::string_view text) {
  int type = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), type);
  if (ec != std::errc() || end != text.data() + text.size() || type < 0) return 0;
  return type;
}

std::vector<SerialDeviceInfo> FindSerialDevices(const DeviceRoots& roots) {
  fs::path dev = roots.dev;
  fs::path sys = roots.sys;
  std::vector<SerialDeviceInfo> found;
  std::set<std::string> reached;  // ttys a by-id link already leads to
  std::error_code ec;

  fs::path byId = dev / "serial" / "by-id";
  for (const std::string& name : SortedNames(byId)) {
    fs::path link = byId / name;
    fs::path target = fs::read_symlink(link, ec);
    if (ec) continue;
    if (target.is_relative()) target = byId / target;
    target = target.lexically_normal();
    if (!fs::exists(target, ec)) continue;  // a link left behind
    std::string tty = target.filename().string();
    reached.insert(tty);
    SerialDeviceInfo device;
    device.path = link.string();
    device.tty = target.string();
    FindUsbInfo(sys, tty, &device);
    found.push_back(std::move(device));
  }

  std::vector<std::string> ttys = SortedNames(sys / "class" / "tty");
  for (const std::string& tty : ttys) {
    bool usb = tty.starts_with("ttyUSB") || tty.starts_with("ttyACM");
    if (!usb || reached.count(tty) != 0 || !fs::exists(dev / tty, ec)) continue;
    SerialDeviceInfo device;
    device.path = device.tty = (dev / tty).string();
    FindUsbInfo(sys, tty, &device);
    found.push_back(std::move(device));
  }
  // Every 8250 driver registers its ttyS* lines whether or not a UART is
  // behind them; sysfs type 0 says none is.
  for (const std::string& tty : ttys) {
    if (!tty.starts_with("ttyS") || reached.count(tty) != 0 || !fs::exists(dev / tty, ec)) {
      continue;
    }
    int type = ParseUartType(ReadAttribute(sys / "class" / "tty" / tty / "type"));
    if (type == 0) continue;
    SerialDeviceInfo device;
    device.path = device.tty = (dev / tty).string();
    device.uartType = type;
    found.push_back(std::move(device));
  }
  return found;
}

}  // namespace ktcomm::platform::posix
