// Streaming receive: 36-byte frames, streamed by a device process as fast as
// the pty takes them, delivered to a KTWindow; beside the raw client's poll,
// bulk read and minimal decoder on the same line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "api/ktcomm.h"
#include "bench/io_scenarios.h"
#include "bench/support/device_process.h"
#include "bench/support/samples.h"
#include "bench/support/stream_runner.h"

namespace ktcomm::bench {
namespace {

constexpr int kPort = 1;

// The library through its exports, posting to a counting window.
class LibraryStreamClient : public StreamClient {
 public:
  ~LibraryStreamClient() override { Stop(); }

  bool Start(const std::string& path) override {
    setenv("KTCOMM_COM1", path.c_str(), 1);
    open = KTOpenPort(&window.window, kPort, 64, 256, 115200, 'N', 8, 1, 1) == 0;
    return open;
  }

  void Stop() override {
    if (open) KTClosePort(kPort);
    open = false;
  }

 private:
  CountingWindow window{this};
  bool open = false;
};

}  // namespace

bool RunStreamReceive(Table& table, const Scale& scale) {
  DeviceProcess devices;
  std::string error;
  if (!devices.Start({sim::DeviceOptions{}}, &error, StreamingFeed())) {
    std::fprintf(stderr, "stream: no device: %s\n", error.c_str());
    return false;
  }
  LibraryStreamClient library;
  RawStreamClient raw;
  StreamClient* const clients[] = {&library, &raw};
  auto figures = RunStream(devices.Paths()[0], clients, scale.streamRounds, scale.streamSeconds);
  devices.Stop();
  if (!figures[0].ok || !figures[1].ok) {
    std::fprintf(stderr, "stream: a client did not start\n");
    return false;
  }
  const StreamFigures& lib = figures[0];
  const StreamFigures& ref = figures[1];
  auto row = [](const char* name, const StreamFigures& f) {
    char text[160];
    std::snprintf(text, sizeof text, "\"%s\",%.1f,%.3f,%.4f", name, f.framesPerSecond,
                  f.megabytesPerSecond, f.cpuSecondsPerMegabyte);
    return std::string(text);
  };
  WriteRows("stream.csv", "client,frames_per_second,megabytes_per_second,cpu_seconds_per_megabyte",
            {row("KTcomm", lib), row("raw termios client", ref)});
  char title[128];
  std::snprintf(title, sizeof title,
                "Streaming receive, 36-byte frames as fast as the pty takes them (median of %d "
                "turn%s of %.1f s)",
                scale.streamRounds, scale.streamRounds == 1 ? "" : "s", scale.streamSeconds);
  table.Section(title);
  table.Row("frames/s", lib.framesPerSecond, ref.framesPerSecond, 0, {Target::kRatioAtLeast, 0.8});
  table.Row("MB/s", lib.megabytesPerSecond, ref.megabytesPerSecond, 2);
  table.Row("CPU seconds per MB (receiving process)", lib.cpuSecondsPerMegabyte,
            ref.cpuSecondsPerMegabyte, 4, {Target::kRatioAtMost, 1.5});
  table.Note("the device process offers some 330 MB/s; receivers at nice -10");
  if (lib.bad + ref.bad > 0) {
    table.Row("frames of the wrong length", static_cast<double>(lib.bad),
              static_cast<double>(ref.bad), 0);
  }
  return true;
}

}  // namespace ktcomm::bench
