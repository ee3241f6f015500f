// Why an open failed: the reasoning from a node's facts and the open's
// error, the lock table's text, network errors, and the texts as they go
// into the extension's fixed-size fields.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "api/ext_text.h"
#include "net/network_platform.h"
#include "platform/posix/open_diagnosis.h"

namespace ktcomm::platform {
namespace {

using posix::NodeFacts;

NodeFacts CharDevice() {
  NodeFacts facts;
  facts.charDevice = true;
  facts.mode = 0660;
  facts.gid = 20;
  facts.group = "dialout";
  return facts;
}

std::string Text(int err) { return std::strerror(err); }

TEST(LocalOpenFailureTest, TheNodeThenTheStepThenTheError) {
  NodeFacts missing;
  missing.statError = ENOENT;
  NodeFacts hidden;
  hidden.statError = EACCES;
  NodeFacts folder;
  folder.folder = true;
  NodeFacts file;  // a regular file
  NodeFacts busy = CharDevice();
  busy.holderPid = 1234;
  busy.holderName = "minicom";
  NodeFacts busyHere = busy;
  busyHere.holderIsSelf = true;
  NodeFacts busyUnknown = CharDevice();

  struct Case {
    const NodeFacts& facts;
    const char* step;
    int err;
    OpenReason reason;
    std::string text;
    int holderPid = 0;
  };
  const Case cases[] = {
      {missing, nullptr, ENOENT, OpenReason::kNoDevice, "no such device"},
      // The node's state wins over whatever the open said.
      {missing, nullptr, EACCES, OpenReason::kNoDevice, "no such device"},
      {hidden, nullptr, EACCES, OpenReason::kPermission, "permission denied on a folder above it"},
      {folder, nullptr, EISDIR, OpenReason::kNotSerial, "a folder, not a device"},
      {file, nullptr, EACCES, OpenReason::kNotSerial, "not a serial device"},
      {file, "SetCommTimeouts()", ENOTTY, OpenReason::kNotSerial, "not a serial device"},
      {CharDevice(), "SetCommTimeouts()", ENOTTY, OpenReason::kNotSerial,
       "not a serial device (SetCommTimeouts() failed: " + Text(ENOTTY) + ")"},
      {CharDevice(), "SetCommState()", EINVAL, OpenReason::kSetupRefused,
       "the device refused its set-up: SetCommState() failed: " + Text(EINVAL)},
      {busy, nullptr, EBUSY, OpenReason::kInUse, "in use by process 1234 (minicom)", 1234},
      {busyHere, nullptr, EBUSY, OpenReason::kInUse,
       "in use by this process (another port has it open)", 1234},
      {busyUnknown, nullptr, EBUSY, OpenReason::kInUse, "in use by another program"},
      {CharDevice(), nullptr, EIO, OpenReason::kNoDevice,
       "no device behind the node (" + Text(EIO) + ")"},
      {CharDevice(), nullptr, ENXIO, OpenReason::kNoDevice,
       "no device behind the node (" + Text(ENXIO) + ")"},
      {CharDevice(), nullptr, EMFILE, OpenReason::kNoResources, Text(EMFILE)},
      {CharDevice(), nullptr, ELOOP, OpenReason::kOther, Text(ELOOP)},
  };
  for (const Case& c : cases) {
    OpenFailure why = posix::ExplainLocalFailure(c.step, c.err, Text(c.err), c.facts);
    EXPECT_EQ(why.reason, c.reason) << c.text;
    EXPECT_EQ(why.text, c.text);
    EXPECT_EQ(why.err, c.err) << c.text;
    EXPECT_EQ(why.holderPid, c.holderPid) << c.text;
  }
}

TEST(LocalOpenFailureTest, PermissionNamesTheGroupToJoinWhenJoiningHelps) {
  NodeFacts facts = CharDevice();
  EXPECT_EQ(posix::PermissionText(facts),
            "permission denied: the device belongs to group dialout; join it (sudo usermod -aG "
            "dialout $USER) and log in again");
  EXPECT_EQ(posix::ExplainLocalFailure(nullptr, EACCES, Text(EACCES), facts).reason,
            OpenReason::kPermission);
  facts.userListedInGroup = true;
  EXPECT_EQ(posix::PermissionText(facts),
            "permission denied: you are in group dialout but this session is not yet; log in "
            "again");
  // Where the group cannot help, the mode is what there is to say.
  NodeFacts member = CharDevice();
  member.sessionInGroup = true;
  NodeFacts groupBarred = CharDevice();
  groupBarred.mode = 0600;
  NodeFacts rootGroup = CharDevice();
  rootGroup.gid = 0;
  NodeFacts unnamed = CharDevice();
  unnamed.group.clear();
  EXPECT_EQ(posix::PermissionText(member), "permission denied (mode 0660)");
  EXPECT_EQ(posix::PermissionText(groupBarred), "permission denied (mode 0600)");
  EXPECT_EQ(posix::PermissionText(rootGroup), "permission denied (mode 0660)");
  EXPECT_EQ(posix::PermissionText(unnamed), "permission denied (mode 0660)");
}

TEST(LocalOpenFailureTest, FindsTheFlockHolderOfTheNodeOnly) {
  const std::string locks =
      "1: POSIX  ADVISORY  WRITE 111 00:05:87 0 EOF\n"
      "2: FLOCK  ADVISORY  WRITE 222 00:05:88 0 EOF\n"
      "3: -> FLOCK  ADVISORY  WRITE 333 00:05:87 0 EOF\n"
      "4: FLOCK  ADVISORY  WRITE 444 fd:01:87 0 EOF\n"
      "garbage line\n"
      "5: FLOCK\n"
      "6: FLOCK  ADVISORY  WRITE 0 00:05:87 0 EOF\n"
      "7: FLOCK  ADVISORY  WRITE x99 00:05:87 0 EOF\n"
      "8: FLOCK  ADVISORY  WRITE 555 00:05:87 0 EOF";  // no newline at the end
  EXPECT_EQ(posix::FlockHolder(locks, 0, 5, 87), 555);
  EXPECT_EQ(posix::FlockHolder(locks, 0, 5, 88), 222);
  EXPECT_EQ(posix::FlockHolder(locks, 0xfd, 1, 87), 444);
  EXPECT_EQ(posix::FlockHolder(locks, 0, 5, 89), 0);
  EXPECT_EQ(posix::FlockHolder("", 0, 5, 87), 0);
  EXPECT_EQ(posix::FlockHolder("1: FLOCK ADVISORY WRITE 7 00:05:87:9 0 EOF", 0, 5, 87), 0);
}

// The node as the system has it, for what the reasoning needs.
TEST(LocalOpenFailureTest, ExaminesTheNode) {
  namespace fs = std::filesystem;
  fs::path file = fs::path(::testing::TempDir()) / ("ktcomm_node_" + std::to_string(getpid()));
  std::ofstream(file) << "x";
  EXPECT_EQ(posix::ExamineNode((file / "below").string(), true).statError, ENOTDIR);
  EXPECT_EQ(posix::ExamineNode(file.string() + ".missing", true).statError, ENOENT);
  NodeFacts facts = posix::ExamineNode(file.string(), true);
  EXPECT_EQ(facts.statError, 0);
  EXPECT_FALSE(facts.charDevice);
  EXPECT_FALSE(facts.folder);
  EXPECT_EQ(facts.holderPid, 0);
  EXPECT_TRUE(posix::ExamineNode(::testing::TempDir(), true).folder);
  facts = posix::ExamineNode("/dev/null", false);
  EXPECT_TRUE(facts.charDevice);
  EXPECT_EQ(facts.mode, 0666u);
  fs::remove(file);
}

TEST(NetworkOpenFailureTest, SaysWhatTheConnectionMet) {
  struct Case {
    const char* path;
    const char* step;
    int err;
    OpenReason reason;
    std::string text;
  };
  const std::string malformed =
      "malformed URL: write tcp://HOST:PORT or rfc2217://HOST:PORT (an IPv6 address in "
      "brackets, PORT 1 to 65535)";
  const Case cases[] = {
      {"tcp://127.0.0.1", nullptr, EINVAL, OpenReason::kBadName, malformed},
      {"tcp:/127.0.0.1:2000", nullptr, ENOENT, OpenReason::kBadName, malformed},
      {"rfc2217://::1:2000", nullptr, EINVAL, OpenReason::kBadName, malformed},
      {"tcp://server.lan:4001", nullptr, ENXIO, OpenReason::kHostNotFound,
       "host name server.lan not found"},
      {"tcp://[::1]:4001", nullptr, ECONNREFUSED, OpenReason::kRefused,
       "connection refused (nothing listens on port 4001)"},
      {"tcp://10.0.0.1:1", nullptr, ETIMEDOUT, OpenReason::kTimedOut, "connection timed out"},
      {"rfc2217://10.0.0.1:1", nullptr, ETIME, OpenReason::kTimedOut,
       "the server did not agree to com port control (RFC 2217) in time"},
      {"rfc2217://10.0.0.1:1", nullptr, EPROTO, OpenReason::kSetupRefused,
       "the server refused com port control (RFC 2217)"},
      {"rfc2217://10.0.0.1:1", nullptr, ECONNRESET, OpenReason::kSetupRefused,
       "the server closed the connection during the set-up"},
      {"tcp://10.0.0.1:1", nullptr, EHOSTUNREACH, OpenReason::kUnreachable, "host unreachable"},
      {"tcp://10.0.0.1:1", nullptr, ENETUNREACH, OpenReason::kUnreachable, "network unreachable"},
      {"tcp://10.0.0.1:1", nullptr, EMFILE, OpenReason::kNoResources, Text(EMFILE)},
      {"rfc2217://10.0.0.1:1", "SetCommState()", EINVAL, OpenReason::kSetupRefused,
       "the server refused the set-up: SetCommState() failed: " + Text(EINVAL)},
      {"rfc2217://10.0.0.1:1", "SetCommState()", ETIMEDOUT, OpenReason::kTimedOut,
       "the server did not confirm the set-up in time (SetCommState() failed: " +
           Text(ETIMEDOUT) + ")"},
      {"rfc2217://10.0.0.1:1", "GetCommState()", EIO, OpenReason::kSetupRefused,
       "the server closed the connection during the set-up"},
  };
  for (const Case& c : cases) {
    OpenFailure why = net::ExplainNetworkFailure(c.path, c.step, c.err, Text(c.err));
    EXPECT_EQ(why.reason, c.reason) << c.path << " " << c.text;
    EXPECT_EQ(why.text, c.text) << c.path;
    EXPECT_EQ(why.err, c.err) << c.path;
  }
}

// Only names meant as network names are explained as such; a local device
// goes to the local explanation.
TEST(NetworkOpenFailureTest, TellsNetworkNamesFromLocalOnes) {
  net::NetworkPlatform network(Platform::Default());
  OpenFailure why;
  network.ExplainOpenFailure("TCP:/host", nullptr, ENOENT, &why);
  EXPECT_EQ(why.reason, OpenReason::kBadName);
  network.ExplainOpenFailure("/nonexistent/ttyS9", nullptr, ENOENT, &why);
  EXPECT_EQ(why.reason, OpenReason::kNoDevice);
  EXPECT_EQ(why.text, "no such device");
}

TEST(ExtensionTextTest, CutsAtACharacterBoundaryAndSaysSo) {
  char field[8];
  EXPECT_FALSE(ext::CopyText("", field));
  EXPECT_STREQ(field, "");
  EXPECT_FALSE(ext::CopyText("1234567", field));
  EXPECT_STREQ(field, "1234567");
  EXPECT_TRUE(ext::CopyText("12345678", field));
  EXPECT_STREQ(field, "1234567");
  // "é" (2 bytes), "€" (3) and "𝄞" (4) straddling the end are left out whole.
  EXPECT_TRUE(ext::CopyText("123456\xC3\xA9", field));
  EXPECT_STREQ(field, "123456");
  EXPECT_TRUE(ext::CopyText("12345\xE2\x82\xAC", field));
  EXPECT_STREQ(field, "12345");
  EXPECT_TRUE(ext::CopyText("1234\xF0\x9D\x84\x9E", field));
  EXPECT_STREQ(field, "1234");
  EXPECT_FALSE(ext::CopyText("1234\xE2\x82\xAC", field));  // fits exactly
  EXPECT_STREQ(field, "1234\xE2\x82\xAC");
  // Bytes that are not UTF-8 are cut where they fall.
  EXPECT_TRUE(ext::CopyText("\x80\x80\x80\x80\x80\x80\x80\x80\x80", field));
  EXPECT_EQ(std::strlen(field), 7u);
  // A NUL ends the text, and is said.
  EXPECT_TRUE(ext::CopyText(std::string_view("ab\0cd", 5), field));
  EXPECT_STREQ(field, "ab");
  char one[1];
  EXPECT_TRUE(ext::CopyText("x", one));
  EXPECT_STREQ(one, "");
}

}  // namespace
}  // namespace ktcomm::platform
