// ktcomm_bench_receive: the receive path's design decision, measured. The
// port reads everything waiting with one read() into its staging buffer and
// decodes from there; the alternative reads one byte per read(), which is
// what the same port does when its platform clips every read to one byte
// (each byte then costs an input-queue query and a read). Both are CommPort
// objects built here over the same streaming line.
// Usage: ktcomm_bench_receive [--quick]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/support/device_process.h"
#include "bench/support/stream_runner.h"
#include "bench/support/table.h"
#include "port/comm_port.h"

namespace ktcomm::bench {
namespace {

constexpr int kPort = 1;

// The default platform, passed through unchanged; the staged design.
class Unchanged : public platform::PlatformWrapper {
 public:
  Unchanged() : PlatformWrapper(net::DefaultPlatform()) {}
};

// The one-byte design: every read takes at most one byte.
class OneByteReads : public platform::PlatformWrapper {
 public:
  OneByteReads() : PlatformWrapper(net::DefaultPlatform()) {}
  int Read(platform::DeviceRef device, std::span<uint8_t> into, size_t* got) override {
    return PlatformWrapper::Read(device, into.first(std::min<size_t>(into.size(), 1)), got);
  }
};

// A port opened the way KTOpenPort opens one, posting to a counting window.
class PortStreamClient : public StreamClient {
 public:
  explicit PortStreamClient(platform::Platform& platform) : port(platform) {}
  ~PortStreamClient() override { Stop(); }

  bool Start(const std::string& path) override {
    setenv("KTCOMM_COM1", path.c_str(), 1);
    if (!port.Open({.window = &window.window, .portNumber = kPort, .baud = 115200, .rxSize = 256})) {
      return false;
    }
    if (!port.StartWorker()) {
      port.Close();
      return false;
    }
    return true;
  }

  void Stop() override { port.Close(); }

 private:
  CountingWindow window{this};
  CommPort port;
};

}  // namespace
}  // namespace ktcomm::bench

int main(int argc, char** argv) {
  using namespace ktcomm::bench;
  bool quick = argc == 2 && std::strcmp(argv[1], "--quick") == 0;
  if (argc > 1 && !quick) {
    std::fprintf(stderr, "usage: %s [--quick]\n", argv[0]);
    return 2;
  }
  int rounds = quick ? 1 : 5;
  double seconds = quick ? 0.3 : 0.6;

  DeviceProcess devices;
  std::string error;
  if (!devices.Start({ktcomm::sim::DeviceOptions{}}, &error, StreamingFeed())) {
    std::fprintf(stderr, "no device: %s\n", error.c_str());
    return 1;
  }
  Unchanged staged;
  OneByteReads oneByte;
  PortStreamClient stagedPort(staged), oneBytePort(oneByte);
  StreamClient* const clients[] = {&stagedPort, &oneBytePort};
  auto figures = RunStream(devices.Paths()[0], clients, rounds, seconds);
  devices.Stop();
  if (!figures[0].ok || !figures[1].ok) {
    std::fprintf(stderr, "a port did not open\n");
    return 1;
  }
  Table table;
  table.Section("Receive design, same stream: one read() of all waiting vs one byte per read()",
                "staged", "one-byte");
  table.Row("frames/s", figures[0].framesPerSecond, figures[1].framesPerSecond, 0);
  table.Row("MB/s", figures[0].megabytesPerSecond, figures[1].megabytesPerSecond, 2);
  table.Row("CPU seconds per MB (receiving process)", figures[0].cpuSecondsPerMegabyte,
            figures[1].cpuSecondsPerMegabyte, 3);
  if (figures[0].bad + figures[1].bad > 0) {
    table.Row("frames of the wrong length", static_cast<double>(figures[0].bad),
              static_cast<double>(figures[1].bad), 0);
  }
  return 0;
}
