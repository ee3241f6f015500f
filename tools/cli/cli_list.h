// ktcomm list: the serial devices a port can be pointed at, found from /dev
// and sysfs without opening any of them, and the KTCOMM_COM<n> mappings in
// force.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ktcomm::cli {

// Where to look; tests point these into a tree of their own.
struct ListRoots {
  std::string dev = "/dev";
  std::string sys = "/sys";
};

// What sysfs says about the USB device a tty belongs to; empty where a
// file is missing.
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

// The links in <dev>/serial/by-id, then USB ttys that no link reaches, then
// the ttyS* whose sysfs type is non-zero; each only if its node exists.
std::vector<SerialDevice> FindSerialDevices(const ListRoots& roots);

// KTCOMM_COM1 to KTCOMM_COM10, where set and not empty.
std::vector<Mapping> MappingsInForce();

// For people: one line per device, then one per mapping.
std::string ListText(const std::vector<SerialDevice>& devices,
                     const std::vector<Mapping>& mappings);

// For scripts: {"devices": [...], "mappings": [...]}.
std::string ListJson(const std::vector<SerialDevice>& devices,
                     const std::vector<Mapping>& mappings);

}  // namespace ktcomm::cli
