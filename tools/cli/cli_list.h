// ktcomm list: the serial devices a port can be pointed at, as the library
// finds them (without opening any), and the KTCOMM_COM<n> mappings in force.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ktcomm::cli {

// What the library says about the USB device a tty belongs to; ids as four
// hex digits, texts empty where the device does not say.
struct UsbInfo {
  std::string vendorId;
  std::string productId;
  std::string manufacturer;
  std::string product;
  std::string serial;
};

struct SerialDevice {
  std::string path;  // what KTCOMM_COM<n> would name: a by-id link or the tty itself
  std::string tty;   // the tty node the path leads to
  std::optional<UsbInfo> usb;
  int uartType = 0;  // non-zero for a ttyS* the driver found a UART behind
};

struct Mapping {
  int port = 0;
  std::string device;
  bool exists = false;
};

// The devices KTXListDevices lists, in its order; false after saying on
// standard error why there is no list.
bool FindSerialDevices(std::vector<SerialDevice>* devices);

// KTCOMM_COM1 to KTCOMM_COM10, where set and not empty.
std::vector<Mapping> MappingsInForce();

// For people: one line per device, then one per mapping.
std::string ListText(const std::vector<SerialDevice>& devices,
                     const std::vector<Mapping>& mappings);

// For scripts: {"devices": [...], "mappings": [...]}.
std::string ListJson(const std::vector<SerialDevice>& devices,
                     const std::vector<Mapping>& mappings);

}  // namespace ktcomm::cli
