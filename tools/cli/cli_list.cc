#include "tools/cli/cli_list.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "ktcomm_ext.h"

namespace ktcomm::cli {
namespace {

namespace fs = std::filesystem;

constexpr int kPortCount = 10;

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

bool FindSerialDevices(std::vector<SerialDevice>* devices) {
  std::vector<KTXDevice> listed(16);
  uint32_t count = 0;
  int result = KTXListDevices(listed.data(), static_cast<uint32_t>(listed.size()), &count);
  // Devices come and go: ask again with room for what was there, and more.
  for (int again = 0; again < 3 && result == KT_TOO_SMALL; ++again) {
    listed.resize(count + 8);
    result = KTXListDevices(listed.data(), static_cast<uint32_t>(listed.size()), &count);
  }
  if (result != KT_OK) {
    std::fprintf(stderr, "ktcomm: cannot list the serial devices: %s\n", KTXResultText(result));
    return false;
  }
  devices->clear();
  for (uint32_t i = 0; i < count; ++i) {
    const KTXDevice& entry = listed[i];
    SerialDevice device{entry.path, entry.tty, std::nullopt, entry.uartType};
    if (entry.usb) {
      char vendor[8], product[8];
      std::snprintf(vendor, sizeof vendor, "%04x", entry.vendorId);
      std::snprintf(product, sizeof product, "%04x", entry.productId);
      device.usb = UsbInfo{vendor, product, entry.manufacturer, entry.product, entry.serial};
    }
    devices->push_back(std::move(device));
  }
  return true;
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
