// A simulated serial device on a pseudo-terminal. The client (the KTcomm
// library) opens Path(); the device thread owns the primary side, answers
// each frame it receives from its reply table, streams unsolicited frames
// and, if asked, garbles the line between frames. Start and Stop are called
// by one owning thread; Send, Received and the waits by any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "tools/sim/sim_frames.h"

namespace ktcomm::sim {

struct DeviceOptions {
  int protocol = 1;  // framing of everything the device sends
  ReplyTable replies;

  // Unsolicited frames per second (0 for none). Without streamData each
  // frame carries a one-byte sequence number that wraps.
  double streamRate = 0;
  uint8_t streamCommand = 0x1A;
  std::optional<std::vector<uint8_t>> streamData;

  // Garbage bytes and frames the library's decoder must reject, put before
  // frames the device sends. They never contain what could swallow the next
  // good frame, so every good frame still arrives.
  bool noise = false;
  uint32_t seed = 1;

  // End the device thread when the client closes the line. The device holds
  // the secondary side open until a client has opened it, since the primary
  // reports a hang-up whenever nobody has the secondary open.
  bool endOnHangup = false;

  // Called on the device thread for each frame received, with the reply the
  // device queued for it (if any). Must return promptly.
  std::function<void(const Frame& received, const std::optional<Frame>& reply)> onFrame;
};

class Device {
 public:
  Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device() { Stop(); }

  // Creates the pseudo-terminal pair and starts the device thread. Returns 0
  // or the errno of the step that failed (nothing is left open then).
  int Start(DeviceOptions options);
  // Ends the device thread, joins it and closes everything. Idempotent.
  void Stop();

  // The secondary side's path, for KTCOMM_COM<n>.
  const std::string& Path() const { return path; }

  // Queues bytes or a frame to go on the line after what is already queued.
  void SendBytes(std::span<const uint8_t> bytes);
  void Send(const Frame& frame);

  // Every frame received so far, in order.
  std::vector<Frame> Received() const;
  // Waits until at least `count` frames have been received; false on time-out.
  bool WaitForReceived(size_t count, int timeoutMs) const;

  // Readable once the device thread ended by itself: the client hung up
  // (endOnHangup) or the line failed. For a poll loop; never read it.
  int EndedFd() const { return endedEvent; }
  bool HungUp() const { return hungUp.load(); }

 private:
  int OpenLine();
  int ArmStream();
  int WatchForClient();
  void Run();
  bool Iterate();
  bool ReadLine();
  void WriteLine();
  void Stream();
  void OnClientOpened();
  void HandleFrame(const Frame& frame);
  void QueueFrame(const Frame& frame);
  void QueueNoiseLocked();
  void QueueBytesLocked(std::span<const uint8_t> bytes);
  void Wake();
  void CloseAll();

  // Set by Start before the thread runs; closed by Stop after the join.
  DeviceOptions options;
  std::string path;
  int primary = -1;
  int heldSecondary = -1;  // our own open of the secondary side, or -1
  int wakeEvent = -1;      // eventfd: Stop or new bytes to send
  int endedEvent = -1;     // eventfd: the thread ended by itself
  int streamTimer = -1;    // timerfd, or -1 without a stream
  int clientWatch = -1;    // inotify on Path() until a client opens it
  std::thread thread;

  // Device thread only.
  FrameParser parser;
  uint32_t streamSequence = 0;

  // Shared by the device thread and callers of Send and the waits, under lock.
  mutable std::mutex lock;
  mutable std::condition_variable receivedChanged;
  std::vector<Frame> receivedFrames;
  std::vector<uint8_t> outbox;  // bytes not yet taken by the primary side
  std::mt19937 random;          // noise; Send may run on any thread

  std::atomic<bool> stopping{false};
  std::atomic<bool> hungUp{false};
};

}  // namespace ktcomm::sim
