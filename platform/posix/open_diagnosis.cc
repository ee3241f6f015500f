#include "platform/posix/open_diagnosis.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace ktcomm::platform::posix {
namespace {

namespace fs = std::filesystem;

// /proc/locks is one line per lock; a machine with thousands of locks still
// fits well within this.
constexpr size_t kMaxLocksText = 1 << 20;

std::string Octal(uint32_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string_view NextWord(std::string_view* rest) {
  size_t start = rest->find_first_not_of(" \t");
  if (start == std::string_view::npos) {
    *rest = {};
    return {};
  }
  size_t end = rest->find_first_of(" \t", start);
  std::string_view word = rest->substr(start, end == std::string_view::npos ? end : end - start);
  *rest = end == std::string_view::npos ? std::string_view() : rest->substr(end);
  return word;
}

template <typename Number>
bool ParseNumber(std::string_view text, int base, Number* value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// Whether "MAJ:MIN:INODE" names the node.
bool SameNode(std::string_view where, unsigned devMajor, unsigned devMinor, uint64_t inode) {
  size_t first = where.find(':');
  size_t second = first == std::string_view::npos ? first : where.find(':', first + 1);
  if (second == std::string_view::npos) return false;
  unsigned major = 0, minor = 0;
  uint64_t number = 0;
  return ParseNumber(where.substr(0, first), 16, &major) &&
         ParseNumber(where.substr(first + 1, second - first - 1), 16, &minor) &&
         ParseNumber(where.substr(second + 1), 10, &number) && major == devMajor &&
         minor == devMinor && number == inode;
}

// A command name fit for a message: control characters would garble it.
std::string CleanName(std::string name) {
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return name;
}

std::string ReadFirstLine(const std::string& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  char c;
  while (line.size() < limit && in.get(c) && c != '\n') line += c;
  return line;
}

std::string ReadAll(const std::string& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  std::string text(limit, '\0');
  in.read(text.data(), static_cast<std::streamsize>(limit));
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

// Another process with the node open, found through /proc/PID/fd: a program
// that keeps others out with TIOCEXCL alone takes no lock. Processes of
// other users are not readable without privileges, and are passed over.
int OpenedBy(const std::string& path) {
  std::error_code ec;
  fs::path target = fs::canonical(path, ec);
  if (ec) return 0;
  const int self = getpid();
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
    int pid = 0;
    std::string name = it->path().filename().string();
    if (!ParseNumber(std::string_view(name), 10, &pid) || pid == self) continue;
    std::error_code fdError;
    for (fs::directory_iterator fd(it->path() / "fd", fdError), fdEnd; !fdError && fd != fdEnd;
         fd.increment(fdError)) {
      std::error_code linkError;
      if (fs::read_symlink(fd->path(), linkError) == target) return pid;
    }
  }
  return 0;
}

// The group's name and whether the user is in its member list.
void LookUpGroup(gid_t gid, NodeFacts* facts) {
  long size = sysconf(_SC_GETGR_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 4096);
  group entry{};
  group* found = nullptr;
  int err;
  while ((err = getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (err != 0 || found == nullptr) return;
  facts->group = entry.gr_name;

  long userSize = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> userBuffer(userSize > 0 ? static_cast<size_t>(userSize) : 4096);
  passwd user{};
  passwd* me = nullptr;
  while ((err = getpwuid_r(getuid(), &user, userBuffer.data(), userBuffer.size(), &me)) ==
             ERANGE &&
         userBuffer.size() < (1u << 20)) {
    userBuffer.resize(userBuffer.size() * 2);
  }
  if (err != 0 || me == nullptr) return;
  for (char** member = entry.gr_mem; *member != nullptr; ++member) {
    if (std::strcmp(*member, user.pw_name) == 0) facts->userListedInGroup = true;
  }
}

bool SessionHasGroup(gid_t gid) {
  if (getegid() == gid) return true;
  int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  count = getgroups(count, groups.data());
  groups.resize(count > 0 ? static_cast<size_t>(count) : 0);
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

std::string InUseText(const NodeFacts& facts) {
  if (facts.holderPid == 0) return "in use by another program";
  if (facts.holderIsSelf) return "in use by this process (another port has it open)";
  std::string text = "in use by process " + std::to_string(facts.holderPid);
  if (!facts.holderName.empty()) text += " (" + facts.holderName + ")";
  return text;
}

}  // namespace

std::string PermissionText(const NodeFacts& facts) {
  bool groupMayUse = (facts.mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (facts.group.empty() || !groupMayUse || facts.gid == 0 || facts.sessionInGroup) {
    return "permission denied (mode " + Octal(facts.mode) + ")";
  }
  if (facts.userListedInGroup) {
    return "permission denied: you are in group " + facts.group +
           " but this session is not yet; log in again";
  }
  return "permission denied: the device belongs to group " + facts.group +
         "; join it (sudo usermod -aG " + facts.group + " $USER) and log in again";
}

int FlockHolder(std::string_view locks, unsigned devMajor, unsigned devMinor, uint64_t inode) {
  while (!locks.empty()) {
    size_t end = locks.find('\n');
    std::string_view line = locks.substr(0, end);
    locks = end == std::string_view::npos ? std::string_view() : locks.substr(end + 1);
    // "N: KIND MODE ACCESS PID MAJ:MIN:INODE START END"; a waiter's line
    // has "->" after the number and holds nothing.
    std::string_view rest = line;
    std::string_view number = NextWord(&rest);
    std::string_view kind = NextWord(&rest);
    if (number.empty() || number.back() != ':' || kind != "FLOCK") continue;
    NextWord(&rest);  // ADVISORY or MANDATORY
    NextWord(&rest);  // READ or WRITE
    std::string_view pidText = NextWord(&rest);
    std::string_view where = NextWord(&rest);
    int pid = 0;
    if (ParseNumber(pidText, 10, &pid) && pid > 0 && SameNode(where, devMajor, devMinor, inode)) {
      return pid;
    }
  }
  return 0;
}

OpenFailure ExplainLocalFailure(const char* step, int err, const std::string& errorText,
                                const NodeFacts& facts) {
  OpenFailure why;
  why.err = err;
  auto say = [&](OpenReason reason, std::string text) {
    why.reason = reason;
    why.text = std::move(text);
    return why;
  };
  // What the node is decides first: its kind holds whatever the open said.
  if (facts.statError == ENOENT || facts.statError == ENOTDIR) {
    return say(OpenReason::kNoDevice, "no such device");
  }
  if (facts.statError == EACCES) {
    return say(OpenReason::kPermission, "permission denied on a folder above it");
  }
  if (facts.statError == 0 && facts.folder) {
    return say(OpenReason::kNotSerial, "a folder, not a device");
  }
  if (facts.statError == 0 && !facts.charDevice) {
    return say(OpenReason::kNotSerial, "not a serial device");
  }
  if (step != nullptr) {
    std::string failed = std::string(step) + " failed: " + errorText;
    // A device that takes no terminal settings is some other kind of device.
    if (err == ENOTTY) return say(OpenReason::kNotSerial, "not a serial device (" + failed + ")");
    return say(OpenReason::kSetupRefused, "the device refused its set-up: " + failed);
  }
  switch (err) {
    case ENOENT:
    case ENOTDIR: return say(OpenReason::kNoDevice, "no such device");
    case EACCES:
    case EPERM: return say(OpenReason::kPermission, PermissionText(facts));
    case EBUSY:
      why.holderPid = facts.holderPid;
      return say(OpenReason::kInUse, InUseText(facts));
    case EISDIR: return say(OpenReason::kNotSerial, "a folder, not a device");
    // A node whose driver found no hardware behind it.
    case ENXIO:
    case ENODEV:
    case EIO: return say(OpenReason::kNoDevice, "no device behind the node (" + errorText + ")");
    case ENOMEM:
    case EMFILE:
    case ENFILE: return say(OpenReason::kNoResources, errorText);
    default: return say(OpenReason::kOther, errorText);
  }
}

NodeFacts ExamineNode(const std::string& path, bool findHolder) {
  NodeFacts facts;
  struct stat node;
  if (stat(path.c_str(), &node) != 0) {
    facts.statError = errno;
    return facts;
  }
  facts.folder = S_ISDIR(node.st_mode);
  facts.charDevice = S_ISCHR(node.st_mode);
  facts.mode = node.st_mode & 07777;
  facts.gid = node.st_gid;
  LookUpGroup(node.st_gid, &facts);
  facts.sessionInGroup = SessionHasGroup(node.st_gid);
  if (!findHolder || !facts.charDevice) return facts;
  facts.holderPid = FlockHolder(ReadAll("/proc/locks", kMaxLocksText), major(node.st_dev),
                                minor(node.st_dev), node.st_ino);
  if (facts.holderPid == 0) facts.holderPid = OpenedBy(path);
  if (facts.holderPid != 0) {
    facts.holderIsSelf = facts.holderPid == getpid();
    facts.holderName =
        CleanName(ReadFirstLine("/proc/" + std::to_string(facts.holderPid) + "/comm", 64));
  }
  return facts;
}

OpenFailure ExplainOpenFailure(const std::string& path, const char* step, int err,
                               const std::string& errorText) {
  bool held = step == nullptr && err == EBUSY;
  return ExplainLocalFailure(step, err, errorText, ExamineNode(path, held));
}

}  // namespace ktcomm::platform::posix
