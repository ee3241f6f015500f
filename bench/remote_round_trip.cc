// Round trip through ser2net: the 5-byte command frame echoed by a device in
// another process, as in the local round trip, but with a ser2net that this
// benchmark starts on 127.0.0.1 between the device's pty and the client.
// The library's caller sends with KTSendCommandAndWait on an rfc2217:// and
// a tcp:// port; a raw client writes the frame to a plain TCP socket on a raw
// ser2net port and reads the echo. The library and the raw termios client on
// a local pty run beside them. Every client has a device (and a ser2net) of
// its own; all stay open and take turns in blocks.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "api/ktcomm.h"
#include "bench/io_scenarios.h"
#include "bench/round_trip_exchange.h"
#include "bench/support/device_process.h"
#include "bench/support/measure.h"
#include "bench/support/raw_client.h"
#include "bench/support/samples.h"
#include "tests/support/ser2net_server.h"

namespace ktcomm::bench {
namespace {

using test::Ser2netServer;

constexpr int kWarmUp = 50;  // per client, not recorded

// ser2net waits at least 1 ms after bytes from the device before it passes
// them on, to gather more; off, so that the figures show the path and not
// that wait. Every client behind ser2net gets the same configuration.
const char* const kSer2netOptions[] = {"chardelay: false"};

void Ignore(KTWindow*, uint32_t, uint32_t, uintptr_t) {}

using Client = ExchangeClient;

// The clients and what they hold open; closes everything when it goes.
class Setup {
 public:
  ~Setup() {
    for (int port : ports) KTClosePort(port);
    for (auto& raw : raws) raw->Close();
    for (auto& server : servers) server->Kill();
    devices.Stop();
  }

  // Forks the device process with `count` devices. First, before any thread.
  bool StartDevices(size_t count, std::string* error) {
    return devices.Start(std::vector<sim::DeviceOptions>(count), error);
  }
  const std::string& Device(size_t index) const { return devices.Paths()[index]; }

  // A ser2net serving one device, raw or with RFC 2217; nullptr when it did
  // not start.
  Ser2netServer* StartServer(const std::string& device, bool telnet) {
    auto server = std::make_unique<Ser2netServer>();
    for (const char* option : kSer2netOptions) server->AddOption(option);
    if (!server->Start(device, telnet)) return nullptr;
    servers.push_back(std::move(server));
    return servers.back().get();
  }

  // The library on `port`, opened on `device` (a path or a URL).
  bool AddLibrary(const std::string& name, int port, const std::string& device) {
    setenv(("KTCOMM_COM" + std::to_string(port)).c_str(), device.c_str(), 1);
    std::set<int> before = ThreadIds();
    if (KTOpenPort(&window, port, 64, 256, 115200, 'N', 8, 1, 1) != 0) return false;
    ports.push_back(port);
    Client& client = clients.emplace_back();
    client.name = name;
    client.exchange = [port](uint8_t value, std::vector<double>* samples) {
      return LibraryExchange(port, value, samples);
    };
    client.threads = ThreadsSince(before);
    return true;
  }

  // The raw client, opened by `open` (0 or an errno).
  bool AddRaw(const std::string& name, const std::function<int(RawClient&)>& open) {
    auto raw = std::make_unique<RawClient>();
    if (int err = open(*raw)) {
      std::fprintf(stderr, "ser2net round trip: %s: %s\n", name.c_str(), std::strerror(err));
      return false;
    }
    Client& client = clients.emplace_back();
    client.name = name;
    client.exchange = [socket = raw.get()](uint8_t value, std::vector<double>* samples) {
      return RawExchange(*socket, value, samples);
    };
    raws.push_back(std::move(raw));
    return true;
  }

  std::vector<Client> clients;

 private:
  DeviceProcess devices;
  std::vector<std::unique_ptr<Ser2netServer>> servers;
  std::vector<std::unique_ptr<RawClient>> raws;
  std::vector<int> ports;
  KTWindow window{Ignore, nullptr};
};

// Device indices, one per client.
enum { kLocalLibrary, kRfc2217, kTcp, kRawTcp, kLocalRaw, kDevices };

bool Prepare(Setup& setup) {
  std::string error;
  if (!setup.StartDevices(kDevices, &error)) {
    std::fprintf(stderr, "ser2net round trip: no device: %s\n", error.c_str());
    return false;
  }
  Ser2netServer* rfc2217 = setup.StartServer(setup.Device(kRfc2217), true);
  Ser2netServer* tcp = setup.StartServer(setup.Device(kTcp), false);
  Ser2netServer* raw = setup.StartServer(setup.Device(kRawTcp), false);
  if (rfc2217 == nullptr || tcp == nullptr || raw == nullptr) {
    std::fprintf(stderr, "ser2net round trip: ser2net did not start\n");
    return false;
  }
  if (!setup.AddLibrary("KTcomm, rfc2217:// through ser2net", 2, rfc2217->Url()) ||
      !setup.AddLibrary("KTcomm, tcp:// through ser2net", 3, tcp->Url())) {
    std::fprintf(stderr, "ser2net round trip: KTOpenPort failed\n");
    return false;
  }
  int rawPort = raw->Port();
  if (!setup.AddRaw("raw TCP socket through ser2net",
                    [rawPort](RawClient& client) { return client.Connect(rawPort); })) {
    return false;
  }
  if (!setup.AddLibrary("KTcomm, local pty", 1, setup.Device(kLocalLibrary))) {
    std::fprintf(stderr, "ser2net round trip: KTOpenPort failed\n");
    return false;
  }
  std::string localPath = setup.Device(kLocalRaw);
  return setup.AddRaw("raw termios client, local pty",
                      [&localPath](RawClient& client) { return client.Open(localPath); });
}

}  // namespace

bool RunRemoteRoundTrip(Table& table, const Scale& scale) {
  const char* title = "Round trip through ser2net, 5-byte command echoed by a device process";
  if (Ser2netServer::Program().empty()) {
    std::printf("\n%s: skipped, ser2net is not installed\n", title);
    return true;
  }
  Setup setup;
  if (!Prepare(setup)) return false;
  int failures = MeasureInTurns(setup.clients, scale.remoteRoundTrips, kWarmUp);
  std::vector<std::pair<std::string, const std::vector<double>*>> series;
  for (const Client& client : setup.clients) series.emplace_back(client.name, &client.samples);
  WriteLatencySamples("ser2net_round_trip.csv", series);

  table.Grid(std::string(title) + " (" + std::to_string(scale.remoteRoundTrips) +
                 " exchanges each), microseconds",
             {{"p50", 1}, {"p90", 1}, {"p99", 1}, {"max", 1}, {"wake-ups", 2}});
  for (const Client& client : setup.clients) {
    Percentiles figures = Summarize(client.samples);
    double wakeups = client.samples.empty()
                         ? kNoFigure
                         : static_cast<double>(client.wakeups) / client.samples.size();
    table.GridRow(client.name, {figures.p50, figures.p90, figures.p99, figures.max, wakeups});
  }
  table.Note("ser2net on 127.0.0.1 with kickolduser and chardelay off, a device each");
  table.Note("wake-ups per exchange: the caller's and the port worker's; not ser2net's");
  if (failures > 0) std::printf("  failed or wrong exchanges: %d\n", failures);
  return failures < kMaxFailures;
}

}  // namespace ktcomm::bench
