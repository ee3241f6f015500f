// Names of devices on a network serial server: "tcp://HOST:PORT" (raw) or
// "rfc2217://HOST:PORT". Pure text work, so that tools can tell a name the
// library would take from one it would refuse.
#pragma once

#include <cctype>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace ktcomm::net {

// HOST is a name, an IPv4 address or an IPv6 address in brackets, PORT a
// number.
struct Endpoint {
  bool telnet = false;
  std::string host;
  std::string port;
};

namespace endpoint_detail {

// Whether the scheme asks for telnet; nothing when it is neither of ours.
inline std::optional<bool> Scheme(std::string_view path, std::string_view* rest) {
  size_t end = path.find("://");
  if (end == std::string_view::npos) return std::nullopt;
  *rest = path.substr(end + 3);
  std::string_view scheme = path.substr(0, end);
  if (platform::EqualsNoCase(scheme, "tcp")) return false;
  if (platform::EqualsNoCase(scheme, "rfc2217")) return true;
  return std::nullopt;
}

// Letters, digits and the punctuation of names and addresses; the text goes
// to the resolver only, but a blank or a slash is a mistake worth refusing.
inline bool PlausibleHost(std::string_view host) {
  if (host.empty()) return false;
  for (char c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_' &&
        c != ':' && c != '%') {
      return false;
    }
  }
  return true;
}

inline bool PlausiblePort(std::string_view port) {
  uint32_t number = 0;
  auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
  return !port.empty() && port.size() <= 5 && ec == std::errc() &&
         end == port.data() + port.size() && number >= 1 && number <= 65535;
}

}  // namespace endpoint_detail

// Whether the path names a network device (by its scheme, in any case).
inline bool IsNetworkPath(std::string_view path) {
  std::string_view rest;
  return endpoint_detail::Scheme(path, &rest).has_value();
}

// Whether the path is meant as a network device: it has "://", or starts
// with "tcp:" or "rfc2217:" in any case. A local open of such a name that
// fails is a mistyped network name rather than a missing device.
inline bool LooksLikeNetworkPath(std::string_view path) {
  auto startsWith = [&](std::string_view lower) {
    return path.size() >= lower.size() &&
           platform::EqualsNoCase(path.substr(0, lower.size()), lower);
  };
  return path.find("://") != std::string_view::npos || startsWith("tcp:") ||
         startsWith("rfc2217:");
}

// Nothing for a path that is not a well-formed network device name.
inline std::optional<Endpoint> ParseEndpoint(std::string_view path) {
  std::string_view rest;
  std::optional<bool> telnet = endpoint_detail::Scheme(path, &rest);
  if (!telnet) return std::nullopt;
  std::string_view host;
  std::string_view port;
  if (rest.starts_with('[')) {
    size_t close = rest.find(']');
    if (close == std::string_view::npos || rest.substr(close + 1, 1) != ":") return std::nullopt;
    host = rest.substr(1, close - 1);
    port = rest.substr(close + 2);
  } else {
    size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) return std::nullopt;  // IPv6 wants brackets
  }
  if (!endpoint_detail::PlausibleHost(host) || !endpoint_detail::PlausiblePort(port)) return std::nullopt;
  return Endpoint{*telnet, std::string(host), std::string(port)};
}

}  // namespace ktcomm::net
