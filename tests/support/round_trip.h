// Round trips through the waiting calls with a device on a pty: the device
// thread, the call's outputs and the table of exchanges that local and
// remote ports must both get right.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "api/ktcomm.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {

using Bytes = std::vector<uint8_t>;

// The device: reads a request of requestSize bytes (into *request when that
// is given), then answers after delay; a request cut short gets no answer.
inline std::jthread Answer(const PtyPair& pty, size_t requestSize, Bytes reply,
                           std::chrono::milliseconds delay = std::chrono::milliseconds(0),
                           Bytes* request = nullptr) {
  return std::jthread([&pty, requestSize, reply = std::move(reply), delay, request] {
    Bytes got = pty.Read(requestSize);
    if (request != nullptr) *request = got;
    if (got.size() != requestSize) return;
    std::this_thread::sleep_for(delay);  // how late the device answers
    pty.Write(reply);
  });
}

// A waiting call's outputs, filled with a marker so that untouched ones show.
struct Outputs {
  Outputs() { std::memset(data, 0xEE, sizeof data); }
  uint8_t command = 0xEE;
  uint8_t data[300];
  uint32_t length = sizeof data;
  Bytes Got() const { return Bytes(data, data + length); }
};

// One exchange: the request the call puts on the line, the device's answer,
// what the call returns of it, and an unsolicited frame that follows.
struct Trip {
  const char* what;
  int protocol;
  bool command;  // KTSendCommandAndWait (command 0x10), else KTSendDataAndWait
  Bytes request;
  Bytes reply;
  uint8_t replyCommand;
  Bytes replyData;
  Bytes after;  // its command is 0x05
};

// Both protocols, data both ways holding what a cooked line or a telnet
// stream would change: CR, XON/XOFF and 0xFF (the telnet escape), at the
// ends of the data too.
inline std::vector<Trip> RoundTrips() {
  return {
      {"command, answer with data", 1, true, {0x00, 0x80, 0x03, 0x10, 0xFF, 0x05},
       {0x00, 0x81, 0x06, 0x00, 0x1A, 0xFF, 0x11, 0x0D, 0x13, 0xFF}, 0x1A,
       {0xFF, 0x11, 0x0D, 0x13, 0xFF}, {0x00, 0x80, 0x01, 0x05}},
      {"data, answer without data", 1, false, {0xAA, 0xFF, 0xFF}, {0x00, 0x80, 0x01, 0x24}, 0x24,
       {}, {0x00, 0x80, 0x01, 0x05}},
      {"protocol 2, woken without the trigger byte", 2, false, {0x01},
       {0x1B, 0xF3, 0x03, 0x00, 0x42, 0xFF, 0x02}, 0x42, {0xFF, 0x02},
       {0x1B, 0xF3, 0x01, 0x00, 0x05}},
  };
}

// Runs one trip on an open port whose device is the pty's primary side: the
// call returns the answer and nothing else, and the port then posts again.
inline void ExpectRoundTrip(int port, const PtyPair& pty, RecordingWindow& window, const Trip& t) {
  Bytes request;
  auto device = Answer(pty, t.request.size(), t.reply, std::chrono::milliseconds(0), &request);
  Outputs out;
  // A command request is the frame 00 80 <length> 10 <data>.
  int result = t.command ? KTSendCommandAndWait(port, 0x10, &t.request[4],
                                                static_cast<uint32_t>(t.request.size() - 4), 5000,
                                                &out.command, out.data, &out.length)
                         : KTSendDataAndWait(port, t.request.data(), t.request.size(), 5000,
                                             &out.command, out.data, &out.length);
  device.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(request, t.request);
  EXPECT_EQ(out.command, t.replyCommand);
  EXPECT_EQ(out.Got(), t.replyData);
  EXPECT_EQ(out.data[out.length], 0xEE);
  EXPECT_TRUE(window.posts().empty());

  ASSERT_TRUE(pty.Write(t.after));
  ASSERT_TRUE(window.WaitPosts(1));
  EXPECT_EQ(window.posts().back().command(), 0x05);
}

}  // namespace ktcomm::test
