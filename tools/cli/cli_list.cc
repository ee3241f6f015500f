#include "tools/cli/cli_list.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <tuple>

namespace ktcomm::cli {
namespace {

namespace fs = std::filesystem;

constexpr int kPortCount = 10;

// The first line of a sysfs attribute, trailing blanks dropped; empty when
// the file is missing or unreadable.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t')) {
    line.pop_back();
  }
  return line;
}

bool IsUnder(const fs::path& path, const fs::path& top) {
  auto [rest, unused] = std::mismatch(top.begin(), top.end(), path.begin(), path.end());
  return rest == top.end();
}

// Sysfs puts the ids on the USB device, a few levels above the interface the
// tty hangs off; walk up to it, never out of the sysfs root.
std::optional<UsbInfo> FindUsbInfo(const fs::path& sys, const std::string& tty) {
  std::error_code ec;
  fs::path top = fs::canonical(sys, ec);
  if (ec) return std::nullopt;
  fs::path dir = fs::canonical(sys / "class" / "tty" / tty / "device", ec);
  if (ec) return std::nullopt;
  for (; dir != top && IsUnder(dir, top); dir = dir.parent_path()) {
    if (fs::exists(dir / "idVendor", ec)) {
      return UsbInfo{ReadAttribute(dir / "idVendor"), ReadAttribute(dir / "idProduct"),
                     ReadAttribute(dir / "manufacturer"), ReadAttribute(dir / "product"),
                     ReadAttribute(dir / "serial")};
    }
  }
  return std::nullopt;
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

bool HasPrefix(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Control characters would break a line of the listing.
std::string Printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return text;
}

// The length of the UTF-8 sequence at text[i], or 0 when it is not one.
size_t Utf8Length(std::string_view text, size_t i) {
  auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
  unsigned char lead = byte(i);
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = Utf8Length(text, i);
    if (length == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out + "\"";
}

std::string JsonUsb(const std::optional<UsbInfo>& usb) {
  if (!usb) return "null";
  return "{\"vendor_id\": " + JsonString(usb->vendorId) +
         ", \"product_id\": " + JsonString(usb->productId) +
         ", \"manufacturer\": " + JsonString(usb->manufacturer) +
         ", \"product\": " + JsonString(usb->product) + ", \"serial\": " + JsonString(usb->serial) +
         "}";
}

std::string DescribeDevice(const SerialDevice& device) {
  std::string line = "  " + Printable(device.path);
  if (device.tty != device.path) line += " -> " + Printable(device.tty);
  if (device.usb) {
    const UsbInfo& usb = *device.usb;
    line += "  USB " + usb.vendorId + ":" + usb.productId;
    for (const std::string* name : {&usb.manufacturer, &usb.product}) {
      if (!name->empty()) line += " " + Printable(*name);
    }
    if (!usb.serial.empty()) line += ", serial " + Printable(usb.serial);
  } else if (device.uartType != 0) {
    line += "  UART, type " + std::to_string(device.uartType);
  }
  return line + "\n";
}

}  // namespace

std::vector<SerialDevice> FindSerialDevices(const ListRoots& roots) {
  fs::path dev = roots.dev;
  fs::path sys = roots.sys;
  std::vector<SerialDevice> found;
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
    found.push_back({link.string(), target.string(), FindUsbInfo(sys, tty), 0});
  }

  std::vector<std::string> ttys = SortedNames(sys / "class" / "tty");
  for (const std::string& tty : ttys) {
    bool usb = HasPrefix(tty, "ttyUSB") || HasPrefix(tty, "ttyACM");
    if (!usb || reached.count(tty) != 0 || !fs::exists(dev / tty, ec)) continue;
    found.push_back({(dev / tty).string(), (dev / tty).string(), FindUsbInfo(sys, tty), 0});
  }
  // Every 8250 driver registers its ttyS* lines whether or not a UART is
  // behind them; sysfs type 0 says none is.
  for (const std::string& tty : ttys) {
    if (!HasPrefix(tty, "ttyS") || reached.count(tty) != 0 || !fs::exists(dev / tty, ec)) {
      continue;
    }
    int type = std::atoi(ReadAttribute(sys / "class" / "tty" / tty / "type").c_str());
    if (type == 0) continue;
    found.push_back({(dev / tty).string(), (dev / tty).string(), std::nullopt, type});
  }
  return found;
}

std::vector<Mapping> MappingsInForce() {
  std::vector<Mapping> mappings;
  for (int port = 1; port <= kPortCount; ++port) {
    std::string name = "KTCOMM_COM" + std::to_string(port);
    const char* device = std::getenv(name.c_str());
    if (device == nullptr || *device == '\0') continue;
    std::error_code ec;
    mappings.push_back({port, device, fs::exists(device, ec)});
  }
  return mappings;
}

std::string ListText(const std::vector<SerialDevice>& devices,
                     const std::vector<Mapping>& mappings) {
  std::string text = devices.empty() ? "No serial devices found.\n" : "Serial devices:\n";
  for (const SerialDevice& device : devices) text += DescribeDevice(device);
  if (mappings.empty()) {
    return text + "No KTCOMM_COM<n> is set: port n opens /dev/ttyS<n-1>.\n";
  }
  text += "Mappings in force:\n";
  for (const Mapping& mapping : mappings) {
    text += "  KTCOMM_COM" + std::to_string(mapping.port) + "=" + Printable(mapping.device) +
            (mapping.exists ? "\n" : "  (does not exist)\n");
  }
  return text;
}

std::string ListJson(const std::vector<SerialDevice>& devices,
                     const std::vector<Mapping>& mappings) {
  std::string json = "{\n  \"devices\": [";
  for (size_t i = 0; i < devices.size(); ++i) {
    const SerialDevice& device = devices[i];
    json += (i == 0 ? "\n" : ",\n");
    json += "    {\"path\": " + JsonString(device.path) + ", \"tty\": " + JsonString(device.tty) +
            ", \"usb\": " + JsonUsb(device.usb) + ", \"uart_type\": " +
            (device.uartType != 0 ? std::to_string(device.uartType) : "null") + "}";
  }
  json += devices.empty() ? "],\n" : "\n  ],\n";
  json += "  \"mappings\": [";
  for (size_t i = 0; i < mappings.size(); ++i) {
    const Mapping& mapping = mappings[i];
    std::string variable = "KTCOMM_COM" + std::to_string(mapping.port);
    json += (i == 0 ? "\n" : ",\n");
    json += "    {\"port\": " + std::to_string(mapping.port) +
            ", \"variable\": " + JsonString(variable) +
            ", \"device\": " + JsonString(mapping.device) +
            ", \"exists\": " + (mapping.exists ? "true" : "false") + "}";
  }
  json += mappings.empty() ? "]\n" : "\n  ]\n";
  return json + "}\n";
}

}  // namespace ktcomm::cli
