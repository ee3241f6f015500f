/* One traffic-log session, run alike by the Linux and the Windows library
 * against a device that echoes what it gets, so that their logs can be
 * compared line for line: open, a command answered, raw bytes answered, a
 * command without data answered, close. Returns 0, or the step that failed. */
#ifndef KTCOMM_TESTS_WINDOWS_LOG_SESSION_H_
#define KTCOMM_TESTS_WINDOWS_LOG_SESSION_H_

#include <stddef.h>

#include "ktcomm.h"

static int RunLogSession(const char *path, const char *mode, int port) {
  static const unsigned char kData[] = {0x05};
  static const unsigned char kFrame[] = {0x00, 0x80, 0x03, 0x1A, 0xDE, 0xAD};
  unsigned char command = 0, data[16];
  uint32_t length = sizeof data;
  if (KTSetLogFileName(path) != 1 || KTEnableLogging(0, mode) != 1) return 1;
  if (KTOpenPort(NULL, port, 64, 64, 9600, 'N', 8, 1, 1) != KT_OK) return 2;
  if (KTSendCommandAndWait(port, 0x10, kData, sizeof kData, 5000, &command, data, &length) !=
          KT_OK ||
      command != 0x10 || length != 1 || data[0] != 0x05) {
    return 3;
  }
  length = sizeof data;
  if (KTSendDataAndWait(port, kFrame, sizeof kFrame, 5000, &command, data, &length) != KT_OK ||
      command != 0x1A || length != 2) {
    return 4;
  }
  length = sizeof data;
  if (KTSendCommandAndWait(port, 0x1F, NULL, 0, 5000, &command, data, &length) != KT_OK ||
      command != 0x1F || length != 0) {
    return 5;
  }
  return KTClosePort(port) == 1 ? 0 : 6;
}

#endif /* KTCOMM_TESTS_WINDOWS_LOG_SESSION_H_ */
