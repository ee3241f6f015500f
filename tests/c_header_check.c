/* The public headers from C99: all eleven functions, KTSetFlowControl
 * included, and the KTX extensions compile, link and answer through the
 * named result codes, first on bad and closed ports, then on a port open on
 * a pseudo-terminal whose primary side this program holds, until that side
 * hangs up. Exits 0, 77 without a pseudo-terminal, or 1 after printing the
 * check that failed. */
#define _XOPEN_SOURCE 600

#include "ktcomm_ext.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define CHECK(condition)                                         \
  do {                                                           \
    if (!(condition)) {                                          \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition); \
      return 1;                                                  \
    }                                                            \
  } while (0)

/* Reads from fd until `want` bytes have come or 5 s passed; the count read. */
static size_t read_with_deadline(int fd, unsigned char *into, size_t want) {
  size_t got = 0;
  int waited_ms = 0;
  while (got < want && waited_ms < 5000) {
    struct pollfd p;
    ssize_t n;
    p.fd = fd;
    p.events = POLLIN;
    p.revents = 0;
    if (poll(&p, 1, 100) <= 0) {
      waited_ms += 100;
      continue;
    }
    n = read(fd, into + got, want - got);
    if (n <= 0) break;
    got += (size_t)n;
  }
  return got;
}

static int check_without_port(void) {
  char version[16];
  int length = (int)sizeof version;
  unsigned char command = 0, data[8];
  uint32_t capacity = sizeof data;
  CHECK(KTGetDllVersion(version, &length) == KT_OK && length == 4);
  CHECK(strncmp(version, "1.41", 4) == 0);
  CHECK(KTOpenPort(NULL, 11, 64, 64, 9600, 'N', 8, 1, 1) == KT_BAD_PORT);
  CHECK(KTOpenPort(NULL, 1, 3, 64, 9600, 'N', 8, 1, 1) == KT_TOO_SMALL);
  CHECK(KTClosePort(0) == 0);
  CHECK(KTSendData(11, NULL, 0) == KT_BAD_PORT);
  CHECK(KTSendCommand(0, 0x10, 0, NULL) == KT_BAD_PORT);
  CHECK(KTSendCommandAndWait(-1, 0x10, NULL, 0, 10, &command, data, &capacity) == KT_BAD_PORT);
  CHECK(KTSendDataAndWait(2, NULL, 0, 10, &command, data, &capacity) == KT_NOT_OPEN);
  CHECK(KTWaitForMessage(2, 10, &command, data, &capacity) == KT_NOT_OPEN);
  CHECK(KTSetFlowControl(11, 1, 1) == 0);
  CHECK(KTSetFlowControl(2, 1, 1) == 0); /* not open */
  CHECK(KTSetLogFileName("") == 0);
  return 0;
}

static int check_extensions_without_port(void) {
  KTXOpenError failure;
  KTXPortStatus status;
  uint32_t lines = 0, count = 0;
  CHECK(KTXGetOpenError(11, &failure) == KT_BAD_PORT);
  CHECK(KTXGetOpenError(1, NULL) == KT_TOO_SMALL);
  CHECK(KTXGetPortStatus(0, &status) == KT_BAD_PORT);
  CHECK(KTXGetPortStatus(2, &status) == KT_OK && status.open == 0 && status.lost == 0);
  CHECK(KTXGetModemLines(2, &lines) == KT_NOT_OPEN);
  CHECK(KTXSendBreak(11, 10) == KT_BAD_PORT);
  CHECK(KTXSendBreak(2, 10) == KT_NOT_OPEN);
  CHECK(KTXListDevices(NULL, 0, NULL) == KT_TOO_SMALL);
  {
    int listed = KTXListDevices(NULL, 0, &count);
    CHECK(listed == (count == 0 ? KT_OK : KT_TOO_SMALL));
  }
  CHECK(strcmp(KTXResultText(KTX_NOT_SUPPORTED), "the device does not support this") == 0);
  CHECK(strcmp(KTXResultText(12345), "unknown result") == 0);
  /* An absent device: the open says 3, the extension says why. */
  CHECK(setenv("KTCOMM_COM3", "/nonexistent/ktcomm-tty", 1) == 0);
  CHECK(KTOpenPort(NULL, 3, 64, 64, 9600, 'N', 8, 1, 1) == KT_OPEN_FAILED);
  CHECK(KTXGetOpenError(3, &failure) == KT_OK);
  CHECK(failure.reason == KTX_OPEN_NO_DEVICE && failure.truncated == 0);
  CHECK(strcmp(failure.text, "no such device") == 0);
  CHECK(strcmp(failure.device, "/nonexistent/ktcomm-tty") == 0);
  return 0;
}

/* A pty has no modem lines and sends no break; closing its primary side is
 * a hang-up, which the port's status shows. */
static int check_extensions_on_port(int primary) {
  KTXOpenError failure;
  KTXPortStatus status;
  uint32_t lines = 0;
  int waited_ms = 0;
  CHECK(KTOpenPort(NULL, 1, 64, 64, 9600, 'N', 8, 1, 1) == KT_OK);
  CHECK(KTXGetOpenError(1, &failure) == KT_OK && failure.reason == KTX_OPEN_OK);
  CHECK(failure.text[0] == '\0' && failure.device[0] == '\0');
  CHECK(KTXGetPortStatus(1, &status) == KT_OK && status.open == 1 && status.lost == 0);
  CHECK(KTXGetModemLines(1, NULL) == KT_TOO_SMALL);
  CHECK(KTXGetModemLines(1, &lines) == KTX_NOT_SUPPORTED);
  CHECK(KTXSendBreak(1, 0) == KTX_BAD_ARGUMENT);
  CHECK(KTXSendBreak(1, KTX_MAX_BREAK_MS + 1) == KTX_BAD_ARGUMENT);
  CHECK(KTXSendBreak(1, 10) == KTX_NOT_SUPPORTED);
  close(primary);
  while (KTXGetPortStatus(1, &status) == KT_OK && !status.lost && waited_ms < 5000) {
    poll(NULL, 0, 10);
    waited_ms += 10;
  }
  CHECK(status.lost == 1 && status.open == 1 && status.reports == 1);
  CHECK(strstr(status.lastReport, "WaitCommEvent()") != NULL);
  CHECK(KTClosePort(1) == 1);
  CHECK(KTXGetPortStatus(1, &status) == KT_OK && status.open == 0 && status.lost == 1);
  return 0;
}

static int check_open_port(int primary, const char *log_path) {
  static const unsigned char kFrame[] = {0x00, 0x80, 0x02, 0x10, 0x05};
  unsigned char data[8], command = 0, line[sizeof kFrame];
  uint32_t capacity = sizeof data;
  CHECK(KTSetLogFileName(log_path) == 1);
  CHECK(KTEnableLogging(0, "w") == 1);
  CHECK(KTOpenPort(NULL, 1, 64, 64, 9600, 'N', 8, 1, 1) == KT_OK);
  /* 0xFFFFFFFF keeps both modes; the line definition is applied again. */
  CHECK(KTSetFlowControl(1, 0xFFFFFFFFu, 0xFFFFFFFFu) != 0);
  CHECK(KTSendCommand(1, 0x10, 1, kFrame + 4) == KT_OK);
  CHECK(read_with_deadline(primary, line, sizeof line) == sizeof line);
  CHECK(memcmp(line, kFrame, sizeof kFrame) == 0);
  CHECK(KTSendData(1, kFrame, sizeof kFrame) == KT_OK);
  CHECK(read_with_deadline(primary, line, sizeof line) == sizeof line);
  /* Nobody answers on the primary side. */
  CHECK(KTSendCommandAndWait(1, 0x10, kFrame + 4, 1, 20, &command, data, &capacity) ==
        KT_TIMED_OUT);
  capacity = sizeof data;
  CHECK(KTSendDataAndWait(1, kFrame, sizeof kFrame, 20, &command, data, &capacity) ==
        KT_TIMED_OUT);
  capacity = sizeof data;
  CHECK(KTWaitForMessage(1, 20, &command, data, &capacity) == KT_TIMED_OUT && capacity == 0);
  capacity = sizeof data;
  CHECK(KTWaitForMessage(1, 20, &command, NULL, &capacity) == KT_TOO_SMALL);
  CHECK(KTClosePort(1) == 1);
  CHECK(KTSendData(1, kFrame, sizeof kFrame) == KT_NOT_OPEN);
  return 0;
}

int main(void) {
  char log_path[] = "/tmp/ktcomm_c_header_check_XXXXXX";
  int primary, log_fd, failed;
  if (check_without_port() != 0) return 1;
  if (check_extensions_without_port() != 0) return 1;

  primary = posix_openpt(O_RDWR | O_NOCTTY);
  if (primary < 0 || grantpt(primary) != 0 || unlockpt(primary) != 0 || !ptsname(primary)) {
    fprintf(stderr, "no pseudo-terminal: skipped the open port\n");
    return 77;
  }
  if (setenv("KTCOMM_COM1", ptsname(primary), 1) != 0) return 1;
  log_fd = mkstemp(log_path);
  if (log_fd < 0) return 1;
  close(log_fd);
  failed = check_open_port(primary, log_path);
  unlink(log_path);
  if (failed) {
    close(primary);
    return failed;
  }
  return check_extensions_on_port(primary); /* closes primary */
}
