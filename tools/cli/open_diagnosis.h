// Why a device did not open, found by looking at it after the library said
// only "open failed": the node, its permissions and who holds its lock, or
// for a network device the URL, the name lookup and a connection attempt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "net/endpoint.h"

namespace ktcomm::cli {

// "tcp://HOST:PORT" or "rfc2217://HOST:PORT", an IPv6 address in brackets:
// parsed as the library parses it.
using DeviceUrl = net::Endpoint;

// Whether the name is meant as a URL: it has "://", or starts with "tcp:" or
// "rfc2217:" in any case.
bool LooksLikeUrl(std::string_view device);
// The URL's parts; nothing when it is not one the library would accept.
std::optional<DeviceUrl> ParseDeviceUrl(std::string_view device);

// A few words on why `device` does not open ("no such device", "in use by
// process 123 (ktcomm)", "connection refused", ...); empty when nothing
// found explains it. `libraryReport` is the first error text the library
// showed during the open, if any: it means the device opened and refused
// its set-up. A network probe waits up to probeMs to connect.
std::string DiagnoseOpenFailure(const std::string& device, const std::string& libraryReport,
                                int probeMs = 1500);

}  // namespace ktcomm::cli
