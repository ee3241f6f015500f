/* KTcomm: message-driven access to up to ten serial ports (ports 1 to 10).
 *
 * On Linux, port n opens the device named by the environment variable
 * KTCOMM_COM<n> (read at each open), or /dev/ttyS<n-1> when that is unset or
 * empty. The name may also be tcp://HOST:PORT or rfc2217://HOST:PORT, a
 * device shared by a network serial server (raw, or Telnet with com port
 * control). On Windows, port n opens \\.\COMn. Each open port has one
 * worker thread that does all of its device I/O; complete incoming frames
 * reach the application through its window (a KTWindow on Linux, an HWND
 * on Windows), or through a waiting call.
 *
 * Result codes of the exports that return one:
 *    0 success          1 overflow seen by KTSendDataAndWait
 *    3 open failed      5 port not open      6 a size is too small
 *    7 port number outside 1..10            -1 the wait timed out
 */
#ifndef KTCOMM_KTCOMM_H_
#define KTCOMM_KTCOMM_H_

#include <stdint.h>
#if defined(_WIN32)
#include <windows.h>
#endif

/* On Windows the module definition file names the exports. */
#if defined(KTCOMM_BUILDING_LIBRARY) && !defined(_WIN32)
#define KTCOMM_EXPORT __attribute__((visibility("default")))
#else
#define KTCOMM_EXPORT
#endif

/* Message number of a frame notification. */
#define WM_PORT_MESSAGE 0x040A

/* Result codes, by name. */
#define KT_OK 0
#define KT_OVERFLOW 1
#define KT_OPEN_FAILED 3
#define KT_NOT_OPEN 5
#define KT_TOO_SMALL 6
#define KT_BAD_PORT 7
#define KT_TIMED_OUT (-1)

#ifdef __cplusplus
extern "C" {
#endif

#if !defined(_WIN32)
typedef struct KTWindow KTWindow;

/* The receiver of notifications and error texts. Embed it as the first
 * member of your own object and forward to your event loop. */
struct KTWindow {
  /* Called from the port's worker thread for every posted frame, with
   * message WM_PORT_MESSAGE, wParam = command | port << 8 | length << 16 and
   * lParam = address of the port's message buffer (0 for a frame without
   * data). The data stays valid until the port stores its next frame. Must
   * return promptly; it may queue data on any port but must not call a
   * waiting function. */
  void (*post)(KTWindow *window, uint32_t message, uint32_t wParam, uintptr_t lParam);
  /* Shows an error text to a person and returns when it has been dismissed;
   * may be null, in which case the text goes to standard error. */
  void (*alert)(KTWindow *window, const char *caption, const char *text);
};

#endif /* !_WIN32 */

/* Opens (or reopens with new settings) port 1..10; window receives the
 * port's frames and error texts (null: frames are dropped, and on Linux
 * errors go to standard error). On Windows, frames are posted to the window
 * with PostMessageA as WM_PORT_MESSAGE, wParam and lParam as above, and
 * errors are shown in a message box captioned "Application Error" with no
 * owner window, which blocks the thread that met the error until it is
 * dismissed. txSize is the size of the
 * command and transmit buffers (at least 4), rxSize of the receive and message
 * buffers; parity is one of N E O M S; protocol 1 or 2 selects the frame
 * decoder (any other value decodes nothing). The line definition is applied
 * afresh: hardware handshake starts off, whatever an earlier open left.
 * Returns 0, 6 (txSize below 4 or rxSize negative), 7 (bad port) or 3
 * (device absent, in use, refused its configuration, or the worker did not
 * start). Does not block beyond the worker's start, except for a network
 * device: up to 3 s to connect, and with RFC 2217 up to 3 s more for each
 * exchange with the server. Called from a callback of the same port (its
 * worker thread), it returns 3 and leaves the port as it was: the worker
 * cannot restart itself. KTClosePort may be called there; reopen from
 * another thread. A reopen with the same rxSize keeps the receive and
 * message buffers (frame data stays valid until the next frame is stored);
 * another size gets new ones and keeps the old allocated. */
#if defined(_WIN32)
KTCOMM_EXPORT int KTOpenPort(HWND window, int port, int txSize, int rxSize, int baud, int parity,
                             int dataBits, int stopBits, int protocol);
#else
KTCOMM_EXPORT int KTOpenPort(KTWindow *window, int port, int txSize, int rxSize, int baud,
                             int parity, int dataBits, int stopBits, int protocol);
#endif

/* Stops the port's worker and releases the device. A transmission queued
 * before the close is still written and logged; output still leaving the
 * port may finish while it keeps moving (5 s at most), a line held by its
 * handshake is cut off. A waiting call on the port returns 5 at once; a
 * second close racing this one returns once the port is closed. Returns 1,
 * or 0 for a bad port number. Closing a closed port is harmless. */
KTCOMM_EXPORT int KTClosePort(int port);

/* Copies "1.41" into buffer (capacity *length, terminator included) and sets
 * *length to the copied length; appends " Release" when more than ten
 * characters of room remain. Always returns 0; null arguments write nothing. */
KTCOMM_EXPORT int KTGetDllVersion(char *buffer, int *length);

/* Queues raw bytes for the worker to write; a later send replaces one the
 * worker has not taken yet. A write is complete when its bytes have left
 * the port, so a send queued while an earlier one still drains follows it
 * whole. Returns 0 (also when the bytes exceed the transmit buffer, which
 * is reported as an error instead), 5, 6 (null data with a non-zero
 * length) or 7. Never waits for the line. */
KTCOMM_EXPORT int KTSendData(int port, const unsigned char *data, uint32_t length);

/* Queues the command frame 00 80 <length+1> <command> <data...>. Returns 0,
 * 5, 6 (frame larger than txSize, or null data with a non-zero length) or 7. */
KTCOMM_EXPORT int KTSendCommand(int port, int command, uint32_t length, const unsigned char *data);

/* Sends a command frame (KTSendCommandAndWait), raw bytes (KTSendDataAndWait)
 * or nothing (KTWaitForMessage), then blocks until the next frame arrives or
 * timeoutMs passes (0xFFFFFFFF waits without limit). On 0 the frame's command
 * byte, data and data length are in *outCommand, outData and *inoutLength
 * (which holds outData's capacity on entry). Returns 0, -1 (timed out;
 * *inoutLength = 0), 5, 6 (frame too large to send, capacity below the
 * frame's data, or a null output), 7, or 1 (KTSendDataAndWait: the receive
 * buffer overflowed). Keeps its time-out whatever the line does; a
 * KTClosePort on another thread ends it with 5. Must not be called from a
 * KTWindow callback. */
KTCOMM_EXPORT int KTSendCommandAndWait(int port, int command, const unsigned char *data,
                                       uint32_t length, uint32_t timeoutMs,
                                       unsigned char *outCommand, unsigned char *outData,
                                       uint32_t *inoutLength);
KTCOMM_EXPORT int KTSendDataAndWait(int port, const unsigned char *data, uint32_t length,
                                    uint32_t timeoutMs, unsigned char *outCommand,
                                    unsigned char *outData, uint32_t *inoutLength);
KTCOMM_EXPORT int KTWaitForMessage(int port, uint32_t timeoutMs, unsigned char *outCommand,
                                   unsigned char *outData, uint32_t *inoutLength);

/* Sets the traffic log's file name for all ten ports. Returns 1, or 0 for an
 * empty or null name (nothing changes). Takes effect at the next log open. */
KTCOMM_EXPORT int KTSetLogFileName(const char *name);

/* Switches traffic logging on for all ports; mode is an fopen mode ("a",
 * "w", ...). With openNow the file is opened at once (and closed again for
 * ports that are not open); without it, open logs are closed until the port
 * next opens. The file must be a regular file: a FIFO, a device node or a
 * directory fails at once, as an unwritable file does. Returns 1 if it
 * succeeded on at least one port, else 0. */
KTCOMM_EXPORT int KTEnableLogging(int openNow, const char *mode);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* DTR mode 0 off, 1 on (2, handshake, is refused); RTS mode 0 off, 1 on,
 * 2 hardware handshake (CRTSCTS), 3 toggle (RS-485 where the driver has it;
 * modes 0 to 2 switch RS-485 off again). 0xFFFFFFFF keeps a setting. The
 * line definition is applied again. Returns non-zero on success, 0 for a
 * bad or closed port or a refused setting; a refused change changes
 * nothing. On an rfc2217:// device it waits up to 3 s for the server to
 * confirm. On Windows the values are those of the device control block
 * (DTR 2 handshake, RTS 3 toggle), which the driver applies or refuses. */
#ifdef __cplusplus
KTCOMM_EXPORT int KTSetFlowControl(int port, uint32_t dtrControl, uint32_t rtsControl);
#elif defined(__GNUC__)
/* C sees the same function under its C++ symbol (uint32_t is unsigned int),
 * so one name serves both languages. The label is the object file's own, so
 * it carries the platform's prefix for C names (an underscore on 32-bit
 * Windows, nothing elsewhere). */
#define KTCOMM_TEXT_(x) #x
#define KTCOMM_TEXT(x) KTCOMM_TEXT_(x)
KTCOMM_EXPORT int KTSetFlowControl(int port, uint32_t dtrControl, uint32_t rtsControl)
    __asm__(KTCOMM_TEXT(__USER_LABEL_PREFIX__) "_Z16KTSetFlowControlijj");
#undef KTCOMM_TEXT
#undef KTCOMM_TEXT_
#endif

#endif /* KTCOMM_KTCOMM_H_ */
