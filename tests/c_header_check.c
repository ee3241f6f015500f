/* The public header compiles as C99 and its ten C functions link. */
#include "ktcomm.h"

#include <stdio.h>

int main(void) {
  char version[16];
  int length = (int)sizeof version;
  KTGetDllVersion(version, &length);
  if (KTClosePort(0) != 0 || KTSendData(11, NULL, 0) != 7) return 1;
  /* Referenced so that each symbol must resolve. */
  void *entries[] = {(void *)KTOpenPort, (void *)KTSendCommand, (void *)KTSendCommandAndWait,
                     (void *)KTSendDataAndWait, (void *)KTWaitForMessage,
                     (void *)KTSetLogFileName, (void *)KTEnableLogging};
  printf("%s %d %p\n", version, length, entries[0]);
  return length == 4 ? 0 : 1;
}
