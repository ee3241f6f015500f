// Why a local device did not open: the node, its permissions and who holds
// it, looked at after the open failed. The reasoning is pure and works on
// facts that ExamineNode gathers from the system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace ktcomm::platform::posix {

// What the system says about a device node and who holds it.
struct NodeFacts {
  int statError = 0;  // 0: the node exists and the fields below hold
  bool folder = false;
  bool charDevice = false;
  uint32_t mode = 0;  // the permission bits
  uint32_t gid = 0;
  std::string group;  // the owning group's name; empty when unknown
  bool userListedInGroup = false;  // the group's member list names this user
  bool sessionInGroup = false;     // this process has the group already
  int holderPid = 0;               // 0: nobody found
  std::string holderName;          // its command name, when readable
  bool holderIsSelf = false;
};

// The explanation of an open that failed with `err` at `step` (null: the
// open itself), from the node's facts; `errorText` is the system's text for
// `err`.
OpenFailure ExplainLocalFailure(const char* step, int err, const std::string& errorText,
                                const NodeFacts& facts);

// "permission denied: the device belongs to group dialout; join it ...".
std::string PermissionText(const NodeFacts& facts);

// The process holding an flock on the node, as /proc/locks lists it:
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF" (device numbers in hex,
// the inode in decimal). 0 when no line matches.
int FlockHolder(std::string_view locks, unsigned devMajor, unsigned devMinor, uint64_t inode);

// The node's facts; with `findHolder`, also who holds the device: the flock
// holder, else another process with the node open.
NodeFacts ExamineNode(const std::string& path, bool findHolder);

// The whole explanation for `path`.
OpenFailure ExplainOpenFailure(const std::string& path, const char* step, int err,
                               const std::string& errorText);

}  // namespace ktcomm::platform::posix
