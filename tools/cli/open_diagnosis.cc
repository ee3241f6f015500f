#include "tools/cli/open_diagnosis.h"

#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ktcomm::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

std::string ProcessName(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/comm");
  std::string name;
  std::getline(in, name);
  return "process " + pid + (name.empty() ? "" : " (" + name + ")");
}

// The process holding an flock on the device node, as /proc/locks lists it:
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF" (device numbers in hex).
std::string LockHolder(const struct stat& node) {
  char key[64];
  std::snprintf(key, sizeof key, "%02x:%02x:%llu", major(node.st_dev), minor(node.st_dev),
                static_cast<unsigned long long>(node.st_ino));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, advisory, access, pid, where;
    fields >> number >> kind >> advisory >> access >> pid >> where;
    if (kind == "FLOCK" && where == key) return ProcessName(pid);
  }
  return "";
}

// Another process with the device open, found through /proc/PID/fd: a
// program that keeps others out with TIOCEXCL takes no lock.
std::string OpenedBy(const std::string& path) {
  std::error_code ec;
  fs::path target = fs::canonical(path, ec);
  if (ec) return "";
  std::string self = std::to_string(getpid());
  for (const auto& process : fs::directory_iterator("/proc", ec)) {
    std::string pid = process.path().filename();
    if (!std::all_of(pid.begin(), pid.end(), ::isdigit) || pid == self) continue;
    std::error_code fdError;
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
      std::error_code linkError;
      if (fs::read_symlink(fd.path(), linkError) == target) return ProcessName(pid);
    }
  }
  return "";
}

bool InGroupList(const group& g, const char* user) {
  for (char** member = g.gr_mem; user != nullptr && *member != nullptr; ++member) {
    if (std::strcmp(*member, user) == 0) return true;
  }
  return false;
}

std::string PermissionText(const struct stat& node) {
  const group* g = getgrgid(node.st_gid);
  const passwd* me = getpwuid(getuid());
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(node.st_mode & 07777));
  bool groupMayUse = (node.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (g == nullptr || !groupMayUse || node.st_gid == 0) {
    return std::string("permission denied (mode ") + mode + ")";
  }
  std::string name = g->gr_name;
  if (InGroupList(*g, me != nullptr ? me->pw_name : nullptr)) {
    return "permission denied: you are in group " + name +
           " but this session is not yet; log in again";
  }
  return "permission denied: the device belongs to group " + name + "; join it (sudo usermod -aG " +
         name + " $USER) and log in again";
}

// "WARNING:  SetCommState() Failed with the following error:  Invalid
// argument Port: 1" as "SetCommState() failed: Invalid argument".
std::string ShortReport(std::string report) {
  constexpr std::string_view kWarning = "WARNING:";
  constexpr std::string_view kFailed = " Failed with the following error:";
  if (report.starts_with(kWarning)) report.erase(0, kWarning.size());
  if (size_t at = report.find(kFailed); at != std::string::npos) {
    report.replace(at, kFailed.size(), " failed:");
  }
  if (size_t at = report.rfind(" Port:"); at != std::string::npos) report.erase(at);
  auto blank = [](char c) { return c == ' '; };
  report.erase(report.begin(), std::find_if_not(report.begin(), report.end(), blank));
  std::string single;
  for (char c : report) {
    if (c != ' ' || single.empty() || single.back() != ' ') single += c;
  }
  return single;
}

std::string DiagnoseLocal(const std::string& path, const std::string& libraryReport) {
  struct stat node;
  if (stat(path.c_str(), &node) != 0) {
    int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      return "no such device (ktcomm list shows the devices there are)";
    }
    if (err == EACCES) return "permission denied on a folder above it";
    return std::strerror(err);
  }
  if (S_ISDIR(node.st_mode)) return "a folder, not a device";
  if (!S_ISCHR(node.st_mode)) return "not a serial device";
  if (access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) return PermissionText(node);
  if (std::string holder = LockHolder(node); !holder.empty()) return "in use by " + holder;
  if (!libraryReport.empty()) {
    // It opened, so nobody keeps it exclusively; a set-up step failed.
    if (libraryReport.find("Inappropriate ioctl") != std::string::npos) {
      return "not a serial device (" + ShortReport(libraryReport) + ")";
    }
    return "the device refused its set-up: " + ShortReport(libraryReport);
  }
  if (std::string holder = OpenedBy(path); !holder.empty()) return "in use by " + holder;
  return "";
}

// 0 or the errno of a connection attempt that ends by the deadline.
int ProbeConnect(const addrinfo& address, Clock::time_point deadline) {
  int s = socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return errno;
  int err = connect(s, address.ai_addr, address.ai_addrlen) == 0 ? 0 : errno;
  while (err == EINPROGRESS || err == EINTR) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{s, POLLOUT, 0};
    int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
    if (ready == 0) {
      err = ETIMEDOUT;
    } else if (ready < 0) {
      err = errno == EINTR ? EINPROGRESS : errno;
    } else {
      socklen_t length = sizeof err;
      if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
    }
  }
  close(s);
  return err;
}

std::string DiagnoseUrl(const std::string& device, const std::string& libraryReport,
                        int probeMs) {
  std::optional<DeviceUrl> url = ParseDeviceUrl(device);
  if (!url) {
    return "malformed URL: write tcp://HOST:PORT or rfc2217://HOST:PORT (an IPv6 address in "
           "brackets, PORT 1 to 65535)";
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int lookup = getaddrinfo(url->host.c_str(), url->port.c_str(), &hints, &found);
  if (lookup == EAI_NONAME || lookup == EAI_NODATA || lookup == EAI_FAIL || lookup == EAI_AGAIN) {
    return "host name " + url->host + " not found";
  }
  if (lookup != 0) return std::string("name lookup failed: ") + gai_strerror(lookup);
  auto deadline = Clock::now() + std::chrono::milliseconds(probeMs);
  int err = ENXIO;
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    err = ProbeConnect(*address, deadline);
    if (err == 0 || err == ETIMEDOUT) break;
  }
  freeaddrinfo(found);
  switch (err) {
    case 0:
      // It answers now: what the library saw tells more.
      if (!libraryReport.empty()) return "the server refused the set-up: " + ShortReport(libraryReport);
      return "";
    case ECONNREFUSED: return "connection refused (nothing listens on port " + url->port + ")";
    case ETIMEDOUT: return "connection timed out";
    case EHOSTUNREACH: return "host unreachable";
    case ENETUNREACH: return "network unreachable";
    default: return std::strerror(err);
  }
}

}  // namespace

bool LooksLikeUrl(std::string_view device) {
  return device.find("://") != std::string_view::npos || StartsWithNoCase(device, "tcp:") ||
         StartsWithNoCase(device, "rfc2217:");
}

std::optional<DeviceUrl> ParseDeviceUrl(std::string_view device) {
  return net::ParseEndpoint(device);
}

std::string DiagnoseOpenFailure(const std::string& device, const std::string& libraryReport,
                                int probeMs) {
  return LooksLikeUrl(device) ? DiagnoseUrl(device, libraryReport, probeMs)
                              : DiagnoseLocal(device, libraryReport);
}

}  // namespace ktcomm::cli
