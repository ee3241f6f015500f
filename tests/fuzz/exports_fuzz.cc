// Random calls of the exported functions, with random ports, sizes, null
// pointers and short time-outs, on two pseudo-terminals (ports 1 and 2) and
// absent devices elsewhere; the device side feeds random bytes too. Nothing
// may crash, hang or leak.
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "api/ktcomm.h"

namespace {

struct Device {
  int primary = -1;
  std::string path;
};

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data(data), size(size) {}
  bool empty() const { return pos >= size; }
  uint8_t Byte() { return pos < size ? data[pos++] : 0; }
  int Small(int low, int high) { return low + Byte() % (high - low + 1); }
  uint32_t Word() { return Byte() | Byte() << 8 | Byte() << 16 | uint32_t(Byte()) << 24; }

 private:
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
};

void Quiet(KTWindow*, const char*, const char*) {}
void Ignore(KTWindow*, uint32_t, uint32_t, uintptr_t) {}
KTWindow window{Ignore, Quiet};

Device devices[2];

void Setup() {
  for (int i = 0; i < 2; ++i) {
    int secondary;
    char name[128];
    if (openpty(&devices[i].primary, &secondary, name, nullptr, nullptr) != 0) std::abort();
    close(secondary);
    fcntl(devices[i].primary, F_SETFL, O_NONBLOCK);
    devices[i].path = name;
    setenv(("KTCOMM_COM" + std::to_string(i + 1)).c_str(), name, 1);
  }
  for (int port = 3; port <= 10; ++port) {
    setenv(("KTCOMM_COM" + std::to_string(port)).c_str(), "/nonexistent/tty", 1);
  }
  KTSetLogFileName("/tmp/ktcomm-fuzz.log");
}

void Drain() {
  uint8_t sink[4096];
  for (const Device& device : devices) {
    while (read(device.primary, sink, sizeof sink) > 0) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (Setup(), true);
  (void)ready;
  Input in(data, size);
  uint8_t bytes[300] = {};
  unsigned char command = 0;
  unsigned char answer[64];
  int steps = 0;
  while (!in.empty() && steps++ < 32) {
    const int port = in.Small(-1, 11);
    const bool nullData = in.Byte() % 8 == 0;
    const uint32_t length = in.Small(0, 260);
    for (uint32_t i = 0; i < length && !in.empty(); ++i) bytes[i] = in.Byte();
    const unsigned char* payload = nullData ? nullptr : bytes;
    uint32_t capacity = in.Small(0, 64);
    unsigned char* outCommand = in.Byte() % 8 == 0 ? nullptr : &command;
    unsigned char* outData = in.Byte() % 8 == 0 ? nullptr : answer;
    uint32_t* inout = in.Byte() % 8 == 0 ? nullptr : &capacity;
    const uint32_t timeoutMs = in.Small(0, 3);
    switch (in.Byte() % 12) {
      case 0:
        KTOpenPort(in.Byte() % 4 ? &window : nullptr, port, in.Small(-2, 300), in.Small(-2, 300),
                   static_cast<int>(in.Word() % 4000000) - 1, in.Byte(), in.Small(4, 9),
                   in.Small(0, 3), in.Small(0, 3));
        break;
      case 1: KTClosePort(port); break;
      case 2: KTSendData(port, payload, length); break;
      case 3: KTSendCommand(port, in.Byte(), length, payload); break;
      case 4:
        KTSendCommandAndWait(port, in.Byte(), payload, length, timeoutMs, outCommand, outData,
                             inout);
        break;
      case 5: KTSendDataAndWait(port, payload, length, timeoutMs, outCommand, outData, inout); break;
      case 6: KTWaitForMessage(port, timeoutMs, outCommand, outData, inout); break;
      case 7: KTSetFlowControl(port, in.Word() % 5, in.Word() % 5); break;
      case 8: {
        char version[16];
        int room = in.Small(-3, 16);
        KTGetDllVersion(in.Byte() % 4 ? version : nullptr, in.Byte() % 4 ? &room : nullptr);
        break;
      }
      case 9: {
        static const char* const kModes[] = {"w", "a", "zz", "", "rw+", nullptr};
        KTEnableLogging(in.Byte() % 2, kModes[in.Byte() % 6]);
        break;
      }
      default: {
        const Device& device = devices[in.Byte() % 2];
        (void)!write(device.primary, bytes, length);
        break;
      }
    }
    Drain();
  }
  for (int p = 1; p <= 10; ++p) KTClosePort(p);
  Drain();
  return 0;
}
