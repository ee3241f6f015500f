// The traffic log's settings, applied per port under its lock.
#include "port/comm_port.h"

namespace ktcomm {

int CommPort::SetLogFileName(const char* name) {
  platform::PortLockHolder holder(lock);
  return log.SetFileName(name);
}

int CommPort::EnableLogging(int openNow, const char* mode) {
  platform::PortLockHolder holder(lock);
  log.SetMode(mode);
  if (log.enabled) log.Close();
  if (openNow != 0) {
    // The mode as given, not cut: it is this call that must accept it.
    if (!log.Open(mode != nullptr ? mode : "")) return 0;
    // On a closed port the file was only created or tested; the port's next
    // open opens it anew.
    if (!IsOpen()) log.Close();
  }
  log.enabled = true;
  return 1;
}

}  // namespace ktcomm
