// Why an open failed: the reasoning from a node's facts and the open's
// error, the lock table's text, network errors, and the texts as they go
// into the extension's fixed-size fields.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

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
  NodeFacts missing, hidden, folder, file, busy = CharDevice(), busyHere, unknown = CharDevice();
  missing.statError = ENOENT;
  hidden.statError = EACCES;
  folder.folder = true;
  busy.holderPid = 1234;
  busy.holderName = "minicom";
  busyHere = busy;
  busyHere.holderIsSelf = true;
  struct Case {
    const NodeFacts& facts;
    const char* step;
    int err;
    OpenReason reason;
    std::string text;
  };
  const Case cases[] = {
      {missing, nullptr, ENOENT, OpenReason::kNoDevice, "no such device"},
      // What the node is decides over whatever the open said.
      {missing, nullptr, EACCES, OpenReason::kNoDevice, "no such device"},
      {hidden, nullptr, EACCES, OpenReason::kPermission, "permission denied on a folder above it"},
      {folder, nullptr, EISDIR, OpenReason::kNotSerial, "a folder, not a device"},
      {file, "SetCommTimeouts()", ENOTTY, OpenReason::kNotSerial, "not a serial device"},
      {CharDevice(), "SetCommTimeouts()", ENOTTY, OpenReason::kNotSerial,
       "not a serial device (SetCommTimeouts() failed: " + Text(ENOTTY) + ")"},
      {CharDevice(), "SetCommState()", EINVAL, OpenReason::kSetupRefused,
       "the device refused its set-up: SetCommState() failed: " + Text(EINVAL)},
      {busy, nullptr, EBUSY, OpenReason::kInUse, "in use by process 1234 (minicom)"},
      {busyHere, nullptr, EBUSY, OpenReason::kInUse,
       "in use by this process (another port has it open)"},
      {unknown, nullptr, EBUSY, OpenReason::kInUse, "in use by another program"},
      {CharDevice(), nullptr, EIO, OpenReason::kNoDevice,
       "no device behind the node (" + Text(EIO) + ")"},
      {CharDevice(), nullptr, EMFILE, OpenReason::kNoResources, Text(EMFILE)},
      {CharDevice(), nullptr, ELOOP, OpenReason::kOther, Text(ELOOP)},
  };
  for (const Case& c : cases) {
    OpenFailure why = posix::ExplainLocalFailure(c.step, c.err, Text(c.err), c.facts);
    EXPECT_EQ(why.reason, c.reason) << c.text;
    EXPECT_EQ(why.text, c.text);
    EXPECT_EQ(why.err, c.err) << c.text;
    EXPECT_EQ(why.holderPid, c.reason == OpenReason::kInUse ? c.facts.holderPid : 0) << c.text;
  }
}

TEST(LocalOpenFailureTest, PermissionNamesTheGroupToJoinWhenJoiningHelps) {
  NodeFacts facts = CharDevice();
  EXPECT_EQ(posix::PermissionText(facts),
            "permission denied: the device belongs to group dialout; join it (sudo usermod -aG "
            "dialout $USER) and log in again");
  facts.userListedInGroup = true;
  EXPECT_EQ(posix::PermissionText(facts),
            "permission denied: you are in group dialout but this session is not yet; log in "
            "again");
  // Where the group cannot help, the mode is what there is to say.
  NodeFacts member = CharDevice(), barred = CharDevice(), rootGroup = CharDevice();
  member.sessionInGroup = true;
  barred.mode = 0600;
  rootGroup.gid = 0;
  EXPECT_EQ(posix::PermissionText(member), "permission denied (mode 0660)");
  EXPECT_EQ(posix::PermissionText(barred), "permission denied (mode 0600)");
  EXPECT_EQ(posix::PermissionText(rootGroup), "permission denied (mode 0660)");
}

TEST(LocalOpenFailureTest, FindsTheFlockHolderOfTheNodeOnly) {
  const std::string locks =
      "1: POSIX  ADVISORY  WRITE 111 00:05:87 0 EOF\n"
      "2: FLOCK  ADVISORY  WRITE 222 00:05:88 0 EOF\n"
      "3: -> FLOCK  ADVISORY  WRITE 333 00:05:87 0 EOF\n"
      "4: FLOCK  ADVISORY  WRITE 444 fd:01:87 0 EOF\n"
      "garbage line\n5: FLOCK\n"
      "6: FLOCK  ADVISORY  WRITE x99 00:05:87 0 EOF\n"
      "7: FLOCK  ADVISORY  WRITE 555 00:05:87 0 EOF";  // no newline at the end
  EXPECT_EQ(posix::FlockHolder(locks, 0, 5, 87), 555);
  EXPECT_EQ(posix::FlockHolder(locks, 0, 5, 88), 222);
  EXPECT_EQ(posix::FlockHolder(locks, 0xfd, 1, 87), 444);
  EXPECT_EQ(posix::FlockHolder(locks, 0, 5, 89), 0);
  EXPECT_EQ(posix::FlockHolder("1: FLOCK ADVISORY WRITE 7 00:05:87:9 0 EOF", 0, 5, 87), 0);
}

TEST(NetworkOpenFailureTest, SaysWhatTheConnectionMet) {
  const std::string malformed = "malformed URL: write tcp://HOST:PORT or rfc2217://HOST:PORT";
  struct Case {
    const char* path;
    const char* step;
    int err;
    OpenReason reason;
    std::string text;  // the text starts with this
  };
  const Case cases[] = {
      {"tcp://127.0.0.1", nullptr, EINVAL, OpenReason::kBadName, malformed},
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
      {"tcp://10.0.0.1:1", nullptr, ENETUNREACH, OpenReason::kUnreachable, "network unreachable"},
      {"rfc2217://10.0.0.1:1", "SetCommState()", EINVAL, OpenReason::kSetupRefused,
       "the server refused the set-up: SetCommState() failed: " + Text(EINVAL)},
      {"rfc2217://10.0.0.1:1", "SetCommState()", ETIMEDOUT, OpenReason::kTimedOut,
       "the server did not confirm the set-up in time"},
  };
  for (const Case& c : cases) {
    OpenFailure why = net::ExplainNetworkFailure(c.path, c.step, c.err, Text(c.err));
    EXPECT_EQ(why.reason, c.reason) << c.path << " " << c.text;
    EXPECT_EQ(why.text.rfind(c.text, 0), 0u) << why.text;
  }
  // Only names meant as network names are explained as such.
  net::NetworkPlatform network(Platform::Default());
  OpenFailure why;
  network.ExplainOpenFailure("TCP:/host", nullptr, ENOENT, &why);
  EXPECT_EQ(why.reason, OpenReason::kBadName);
  network.ExplainOpenFailure("/nonexistent/ttyS9", nullptr, ENOENT, &why);
  EXPECT_EQ(why.text, "no such device");
}

TEST(ExtensionTextTest, CutsAtACharacterBoundaryAndSaysSo) {
  char field[8];
  EXPECT_FALSE(ext::CopyText("1234567", field));
  EXPECT_STREQ(field, "1234567");
  EXPECT_TRUE(ext::CopyText("12345678", field));
  EXPECT_STREQ(field, "1234567");
  // "é" (2 bytes), "€" (3) and "𝄞" (4) straddling the end are left out whole.
  for (const char* text : {"123456\xC3\xA9", "12345\xE2\x82\xAC", "1234\xF0\x9D\x84\x9E"}) {
    EXPECT_TRUE(ext::CopyText(text, field));
    EXPECT_EQ(std::strlen(field), std::strspn(text, "0123456789")) << text;
  }
  EXPECT_FALSE(ext::CopyText("1234\xE2\x82\xAC", field));  // fits exactly
  // Bytes that are not UTF-8 are cut where they fall; a NUL ends the text.
  EXPECT_TRUE(ext::CopyText("\x80\x80\x80\x80\x80\x80\x80\x80\x80", field));
  EXPECT_EQ(std::strlen(field), 7u);
  EXPECT_TRUE(ext::CopyText(std::string_view("ab\0cd", 5), field));
  EXPECT_STREQ(field, "ab");
}

}  // namespace
}  // namespace ktcomm::platform
