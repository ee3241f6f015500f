// ktcomm-demo: one short session with the library against a simulated
// device: open a port, call commands, receive unsolicited frames through a
// window, wait in vain on a silent line, close; then the traffic log.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "ktcomm.h"
#include "tools/common/hex.h"
#include "tools/sim/sim_device.h"

namespace {

using Clock = std::chrono::steady_clock;
using ktcomm::hex::Format;

constexpr int kPort = 1;
constexpr int kBufferSize = 256;
constexpr int kDeadlineMs = 2000;

// A frame as the window passes it through the pipe: wParam, then as many
// data bytes as it announces. With buffers of 256 bytes a record stays under
// PIPE_BUF, so each write is whole or refused and a reader that finds the
// header finds the data behind it.
struct Record {
  uint32_t wParam;
  uint8_t data[kBufferSize];
};

// One record from the pipe; false when none is there.
bool ReadRecord(int readEnd, Record* record) {
  if (read(readEnd, &record->wParam, sizeof record->wParam) != sizeof record->wParam) return false;
  size_t length = std::min<size_t>(record->wParam >> 16, kBufferSize);
  return length == 0 || read(readEnd, record->data, length) == static_cast<ssize_t>(length);
}

// The window the port posts to. Its post runs on the port's worker, which
// must not be kept waiting: it copies the frame into the pipe and returns,
// and the main thread reads the pipe in its poll loop.
struct PipeWindow {
  KTWindow window;
  int writeEnd;
};

void PostToPipe(KTWindow* window, uint32_t message, uint32_t wParam, uintptr_t lParam) {
  if (message != WM_PORT_MESSAGE) return;
  Record record{wParam, {}};
  size_t length = std::min<size_t>(wParam >> 16, kBufferSize);
  if (lParam != 0) std::memcpy(record.data, reinterpret_cast<const void*>(lParam), length);
  // Non-blocking: if the main thread fell behind the frame is dropped.
  (void)!write(reinterpret_cast<PipeWindow*>(window)->writeEnd, &record,
               offsetof(Record, data) + length);
}

std::string Bytes(uint8_t command, const uint8_t* data, size_t length) {
  std::string text = Format({&command, 1});
  if (length > 0) {
    text += ' ';
    text += Format({data, length});
  }
  return text;
}

// Calls one command and shows what came back.
void Call(uint8_t command, std::vector<uint8_t> data) {
  uint8_t answerCommand = 0;
  uint8_t answer[kBufferSize];
  uint32_t length = sizeof answer;
  int result = KTSendCommandAndWait(kPort, command, data.data(), static_cast<uint32_t>(data.size()),
                                    1000, &answerCommand, answer, &length);
  std::string sent = Bytes(command, data.data(), data.size());
  if (result == KT_OK) {
    std::printf("  sent %-16s answer %-16s KTSendCommandAndWait = 0\n", sent.c_str(),
                Bytes(answerCommand, answer, length).c_str());
  } else {
    std::printf("  sent %-16s no answer              KTSendCommandAndWait = %d\n", sent.c_str(),
                result);
  }
}

// Reads records from the pipe until `count` frames have come or the
// deadline passes, as an application's event loop would.
void ReceiveFrames(int readEnd, int count) {
  auto deadline = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
  for (int got = 0; got < count;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p = {readEnd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      std::printf("  (only %d of %d frames arrived)\n", got, count);
      return;
    }
    Record record;
    if (!ReadRecord(readEnd, &record)) continue;
    size_t length = std::min<size_t>(record.wParam >> 16, kBufferSize);
    std::printf("  window got COM%u %s\n", (record.wParam >> 8) & 0xFF,
                Bytes(record.wParam & 0xFF, record.data, length).c_str());
    ++got;
  }
}

void WaitOnSilence() {
  KTSendCommand(kPort, 0x3C, 0, nullptr);
  uint8_t command = 0;
  uint8_t data[kBufferSize];
  uint32_t length = sizeof data;
  auto start = Clock::now();
  int result = KTWaitForMessage(kPort, 200, &command, data, &length);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::printf("  sent 3c, which the device ignores; KTWaitForMessage(200 ms) = %d after %lld ms\n",
              result, static_cast<long long>(waited.count()));
}

void PrintLog(const std::string& path) {
  std::printf("\nTraffic log, as the library wrote it:\n");
  std::ifstream log(path);
  std::cout << log.rdbuf() << std::endl;
}

int Run(ktcomm::sim::Device& device, int pipeEnds[2], const std::string& logPath) {
  std::printf("KTcomm demo: a simulated device on %s stands in for COM%d.\n\n",
              device.Path().c_str(), kPort);
  setenv("KTCOMM_COM1", device.Path().c_str(), 1);
  KTSetLogFileName(logPath.c_str());
  KTEnableLogging(0, "w");

  char version[32];
  int versionLength = sizeof version;
  KTGetDllVersion(version, &versionLength);
  PipeWindow window{{&PostToPipe, nullptr}, pipeEnds[1]};
  int result = KTOpenPort(&window.window, kPort, kBufferSize, kBufferSize, 115200, 'N', 8, 1, 1);
  std::printf("Open COM%d, 115200 8N1, protocol 1, library %s: KTOpenPort = %d\n", kPort, version,
              result);
  if (result != KT_OK) return 1;

  std::printf("\nCommands, each waiting for its answer:\n");
  Call(0x10, {0x05});
  Call(0x1A, {0xDE, 0xAD, 0xBE, 0xEF});
  Call(0x05, {});

  std::printf("\nFrames the device sends by itself, through the window and a pipe:\n");
  device.Send({1, 0x24, {0x01}});
  device.Send({1, 0x24, {0x02}});
  device.Send({1, 0x1A, {0x10, 0x20, 0x30}});
  ReceiveFrames(pipeEnds[0], 3);

  std::printf("\nA command the device does not answer:\n");
  WaitOnSilence();

  std::printf("\nClose COM%d: KTClosePort = %d\n", kPort, KTClosePort(kPort));
  return 0;
}

}  // namespace

int main() {
  ktcomm::sim::DeviceOptions options;
  std::string error;
  options.replies.AddRule("3c=", &error);
  ktcomm::sim::Device device;
  if (int err = device.Start(std::move(options))) {
    std::fprintf(stderr, "ktcomm-demo: cannot create a pseudo-terminal: %s\n", std::strerror(err));
    return 1;
  }
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("ktcomm-demo: pipe");
    return 1;
  }
  char logPath[] = "/tmp/ktcomm-demo-XXXXXX.log";
  int logFd = mkstemps(logPath, 4);
  if (logFd < 0) {
    std::perror("ktcomm-demo: log file");
    return 1;
  }
  close(logFd);

  int code = Run(device, pipeEnds, logPath);
  KTClosePort(kPort);  // harmless if closed; the device must outlive the port
  device.Stop();
  close(pipeEnds[0]);
  close(pipeEnds[1]);
  if (code == 0) PrintLog(logPath);
  unlink(logPath);
  return code;
}
