/* ktcomm.h from C99 on Windows: all eleven functions compile, link through
 * the import library and answer through the named result codes, with
 * KTSetFlowControl reached under its C++ name from C; and ktcomm_ext.h's
 * six likewise. Needs no device. Prints one line per check and "N passed,
 * N failed". */
#include "ktcomm_ext.h"

#include <stdio.h>
#include <string.h>

static int passed = 0;
static int failed = 0;

static void Check(int ok, const char *what, int line) {
  if (ok) {
    passed += 1;
    printf("ok   %s\n", what);
  } else {
    failed += 1;
    printf("FAIL %s (line %d)\n", what, line);
  }
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

int main(void) {
  char version[16];
  int length = (int)sizeof version;
  unsigned char command = 0, data[8];
  uint32_t capacity = sizeof data;
  HWND noWindow = NULL;
  setvbuf(stdout, NULL, _IONBF, 0);
  CHECK(KTGetDllVersion(version, &length) == KT_OK && length == 4 &&
        strcmp(version, "1.41 Release") == 0);
  CHECK(KTOpenPort(noWindow, 11, 64, 64, 9600, 'N', 8, 1, 1) == KT_BAD_PORT);
  CHECK(KTOpenPort(noWindow, 1, 3, 64, 9600, 'N', 8, 1, 1) == KT_TOO_SMALL);
  CHECK(KTClosePort(0) == 0 && KTClosePort(9) == 1);
  CHECK(KTSendData(11, NULL, 0) == KT_BAD_PORT);
  CHECK(KTSendCommand(0, 0x10, 0, NULL) == KT_BAD_PORT);
  CHECK(KTSendCommandAndWait(-1, 0x10, NULL, 0, 10, &command, data, &capacity) == KT_BAD_PORT);
  CHECK(KTSendDataAndWait(9, NULL, 0, 10, &command, data, &capacity) == KT_NOT_OPEN);
  CHECK(KTWaitForMessage(9, 10, &command, data, &capacity) == KT_NOT_OPEN);
  CHECK(KTSetFlowControl(11, 1, 1) == 0 && KTSetFlowControl(9, 1, 1) == 0);
  CHECK(KTSetLogFileName("") == 0 && KTEnableLogging(1, "w") == 0);
  {
    KTXOpenError why;
    KTXPortStatus status;
    uint32_t lines = 0, count = 0;
    CHECK(KTXGetOpenError(1, &why) == KT_OK && why.reason == KTX_OPEN_BAD_SIZE);
    CHECK(KTXGetOpenError(11, &why) == KT_BAD_PORT && KTXGetPortStatus(1, NULL) == KT_TOO_SMALL);
    CHECK(KTXGetPortStatus(9, &status) == KT_OK && status.open == 0 && status.lost == 0);
    CHECK(KTXGetModemLines(9, &lines) == KT_NOT_OPEN && KTXSendBreak(9, 10) == KT_NOT_OPEN);
    CHECK(KTXListDevices(NULL, 0, &count) == KT_TOO_SMALL && count >= 10);
    CHECK(strcmp(KTXResultText(KTX_NOT_SUPPORTED), "the device does not support this") == 0);
  }
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
