/* c_event_loop: frames from KTcomm in a C program's poll loop.
 *
 * Opens port 1 (the device in KTCOMM_COM1, else /dev/ttyS0), sends the
 * command 10 05 without waiting, and prints every frame that arrives, the
 * answer included, until COUNT frames (default 3) have come. Exits 0 then,
 * or 1 when the line stays silent for two seconds first, or when the port
 * does not open, saying why (ktcomm_ext.h).
 *
 * The port's worker thread calls post; a post must return promptly, so it
 * only copies the frame into a pipe, and the main loop reads the pipe.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ktcomm.h"
#include "ktcomm_ext.h"

#define PORT 1
#define RX_SIZE 256 /* keeps a record below PIPE_BUF: one write, whole or not at all */
#define SILENCE_MS 2000

struct record {
  uint32_t wParam;
  unsigned char data[RX_SIZE];
};

/* KTWindow comes first, so the library's window pointer is ours too. */
struct pipe_window {
  KTWindow window;
  int write_end;
};

static void post_to_pipe(KTWindow *window, uint32_t message, uint32_t wParam, uintptr_t lParam) {
  struct pipe_window *self = (struct pipe_window *)window;
  struct record record;
  size_t length = wParam >> 16;
  ssize_t put;
  if (message != WM_PORT_MESSAGE) return;
  if (length > RX_SIZE) length = RX_SIZE;
  record.wParam = wParam;
  if (lParam != 0) memcpy(record.data, (const void *)lParam, length);
  /* The pipe is non-blocking: a frame the loop has no room for is dropped
   * rather than stalling the port. */
  put = write(self->write_end, &record, offsetof(struct record, data) + length);
  (void)put;
}

/* A pipe keeps no record boundaries: read the header, then the data it
 * announces. A record is written whole, so the data is there already. */
static int read_record(int read_end, struct record *record, size_t *length) {
  if (read(read_end, &record->wParam, sizeof record->wParam) != (ssize_t)sizeof record->wParam) {
    return 0;
  }
  *length = record->wParam >> 16;
  if (*length > RX_SIZE) *length = RX_SIZE;
  return *length == 0 || read(read_end, record->data, *length) == (ssize_t)*length;
}

static void print_frame(const struct record *record, size_t length) {
  size_t i;
  printf("COM%u cmd=%02x len=%u data=", (unsigned)((record->wParam >> 8) & 0xFF),
         (unsigned)(record->wParam & 0xFF), (unsigned)length);
  for (i = 0; i < length; i++) printf(i ? " %02x" : "%02x", record->data[i]);
  printf("\n");
  fflush(stdout);
}

/* Returns the number of frames seen before COUNT or the silence. */
static int event_loop(int read_end, int count) {
  int seen = 0;
  while (seen < count) {
    struct pollfd fds[1];
    struct record record;
    size_t length;
    int ready;
    fds[0].fd = read_end;
    fds[0].events = POLLIN;
    ready = poll(fds, 1, SILENCE_MS);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    if (!read_record(read_end, &record, &length)) continue;
    print_frame(&record, length);
    seen++;
  }
  return seen;
}

int main(int argc, char **argv) {
  int count = argc > 1 ? atoi(argv[1]) : 3;
  int ends[2];
  struct pipe_window window;
  const unsigned char data[] = {0x05};
  int result;
  int seen;

  if (pipe(ends) != 0 || fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0) {
    perror("c_event_loop: pipe");
    return 1;
  }
  window.window.post = post_to_pipe;
  window.window.alert = NULL; /* error texts go to standard error */
  window.write_end = ends[1];

  result = KTOpenPort(&window.window, PORT, 64, RX_SIZE, 115200, 'N', 8, 1, 1);
  if (result != KT_OK) {
    KTXOpenError why;
    if (KTXGetOpenError(PORT, &why) == KT_OK && why.reason != KTX_OPEN_OK) {
      fprintf(stderr, "c_event_loop: KTOpenPort failed with %d: %s: %s\n", result, why.device,
              why.text);
    } else {
      fprintf(stderr, "c_event_loop: KTOpenPort failed with %d\n", result);
    }
    return 1;
  }
  KTSendCommand(PORT, 0x10, sizeof data, data);
  seen = event_loop(ends[0], count);
  /* After the close no post can come, so the pipe can go. */
  KTClosePort(PORT);
  close(ends[0]);
  close(ends[1]);
  if (seen < count) {
    fprintf(stderr, "c_event_loop: %d of %d frames before the line fell silent\n", seen, count);
    return 1;
  }
  return 0;
}
