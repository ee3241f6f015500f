// ktcomm_bench_io: the library's exports against a raw termios client, in
// one run: round trip (local and through ser2net), streaming receive, idle
// cost, open/close cost.
// Usage: ktcomm_bench_io [--quick] [SCENARIO...]
//   (round-trip ser2net-round-trip stream idle open-close)
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/io_scenarios.h"

int main(int argc, char** argv) {
  using namespace ktcomm::bench;
  struct Scenario {
    const char* name;
    bool (*run)(Table&, const Scale&);
  };
  const std::vector<Scenario> scenarios = {{"round-trip", RunRoundTrip},
                                           {"ser2net-round-trip", RunRemoteRoundTrip},
                                           {"stream", RunStreamReceive},
                                           {"idle", RunIdle},
                                           {"open-close", RunOpenClose}};
  Scale scale;
  std::vector<std::string> chosen;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      scale = QuickScale();
    } else {
      chosen.push_back(argv[i]);
    }
  }
  for (const std::string& name : chosen) {
    bool known = false;
    for (const Scenario& scenario : scenarios) known = known || name == scenario.name;
    if (!known) {
      std::fprintf(stderr,
                   "usage: %s [--quick] "
                   "[round-trip|ser2net-round-trip|stream|idle|open-close]...\n",
                   argv[0]);
      return 2;
    }
  }

  Table table;
  bool ran = true;
  for (const Scenario& scenario : scenarios) {
    bool wanted = chosen.empty();
    for (const std::string& name : chosen) wanted = wanted || name == scenario.name;
    if (wanted) ran = scenario.run(table, scale) && ran;
  }
  return ran ? 0 : 1;
}
