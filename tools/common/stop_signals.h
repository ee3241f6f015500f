// SIGINT and SIGTERM as a readable descriptor, for the tools' poll loops.
#pragma once

#include <signal.h>
#include <sys/signalfd.h>

namespace ktcomm::tools {

// Blocks both signals in the calling thread, and so in every thread it starts
// from now on, and returns a signalfd that reports them; -1 with errno set.
// Call it before any worker or device thread starts.
inline int BlockStopSignals() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  return signalfd(-1, &mask, SFD_CLOEXEC);
}

}  // namespace ktcomm::tools
