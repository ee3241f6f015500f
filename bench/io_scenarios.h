// The benchmarks of the library's exports against the raw termios client,
// each over pseudo-terminals served by a device process (one also through
// ser2net). Each scenario forks its device process first, so it must start
// with no other thread running, and leaves none behind.
#pragma once

#include "bench/support/table.h"

namespace ktcomm::bench {

// How much each scenario does: the full run, or a smoke run of a second or two.
struct Scale {
  int roundTrips = 3000;       // per client
  int streamRounds = 5;        // turns per client
  double streamSeconds = 0.6;  // measured per turn
  double idleSeconds = 5.0;
  int openCloseCycles = 300;    // per client
  int remoteRoundTrips = 1000;  // per client, through ser2net
  int syscallExchanges = 500;   // per client, under strace
};

// A smoke run: every path taken, no figure worth quoting.
inline Scale QuickScale() { return {300, 1, 0.3, 1.0, 50, 100, 100}; }

// Each returns false when it could not run (the reason is printed).
bool RunRoundTrip(Table& table, const Scale& scale);
// Skipped, with a line saying so, where ser2net is not installed.
bool RunRemoteRoundTrip(Table& table, const Scale& scale);
bool RunStreamReceive(Table& table, const Scale& scale);
bool RunIdle(Table& table, const Scale& scale);
bool RunOpenClose(Table& table, const Scale& scale);

}  // namespace ktcomm::bench
