// The table of ten ports behind the exported functions: port n is slot n - 1.
// Constructed at load in port order, destroyed at unload in reverse.
#pragma once

#include "port/comm_port.h"

namespace ktcomm {

inline constexpr int kPortCount = 10;

extern CommPort g_ports[kPortCount];

// The port numbered `port`, or null outside 1..10.
inline CommPort* Slot(int port) {
  return port >= 1 && port <= kPortCount ? &g_ports[port - 1] : nullptr;
}

}  // namespace ktcomm
