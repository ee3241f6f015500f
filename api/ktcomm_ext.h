/* KTcomm extensions: what the functions of ktcomm.h leave unsaid, beside
 * them and without changing them. Why the last open of a port failed, as a
 * code and a text; whether a port's device was lost and the text of its
 * last error report; the modem lines and a break; the serial devices
 * present. Every name here starts with KTX.
 *
 * The calls never show an error text (no alert, nothing on standard error):
 * they return a result code, and KTXResultText() says it in words. Result
 * codes are those of ktcomm.h (KT_OK, KT_NOT_OPEN, KT_TOO_SMALL for a null
 * output or a list too short, KT_BAD_PORT), and these: */
#ifndef KTCOMM_KTCOMM_EXT_H_
#define KTCOMM_KTCOMM_EXT_H_

#include "ktcomm.h"

/* The device has no such thing: a pseudo-terminal has no modem lines and
 * sends no break, nor does a network device; a system may not list. */
#define KTX_NOT_SUPPORTED 8
/* The device failed the request, often because it went away (see
 * KTXGetPortStatus). */
#define KTX_DEVICE_FAILED 9
/* An argument outside its range, such as a break of 0 ms. */
#define KTX_BAD_ARGUMENT 10

/* Why the last KTOpenPort of a port failed (KTXOpenError.reason). */
#define KTX_OPEN_OK 0             /* it opened, or no open was tried */
#define KTX_OPEN_NO_DEVICE 1      /* no such device, or no hardware behind the node */
#define KTX_OPEN_NOT_SERIAL 2     /* a file, a folder, or a device without serial settings */
#define KTX_OPEN_PERMISSION 3     /* permission denied; the text names the group to join */
#define KTX_OPEN_IN_USE 4         /* another program or port holds it; see holderPid */
#define KTX_OPEN_SETUP_REFUSED 5  /* it opened but refused its line settings or set-up */
#define KTX_OPEN_BAD_NAME 6       /* a malformed tcp:// or rfc2217:// name */
#define KTX_OPEN_HOST_NOT_FOUND 7 /* the server's host name is not known */
#define KTX_OPEN_REFUSED 8        /* the server refused the connection */
#define KTX_OPEN_TIMED_OUT 9      /* no connection, or no answer from the server, in time */
#define KTX_OPEN_UNREACHABLE 10   /* host or network unreachable */
#define KTX_OPEN_NO_RESOURCES 11  /* memory, descriptors or the port's worker thread */
#define KTX_OPEN_BAD_SIZE 12      /* KTOpenPort returned 6: txSize below 4 or rxSize below 0 */
#define KTX_OPEN_OTHER 13         /* anything else; the text says what */

/* Modem lines (KTXGetModemLines): the inputs, then the port's own outputs. */
#define KTX_LINE_CTS 0x01u
#define KTX_LINE_DSR 0x02u
#define KTX_LINE_DCD 0x04u
#define KTX_LINE_RI 0x08u
#define KTX_LINE_DTR 0x10u
#define KTX_LINE_RTS 0x20u

/* The longest break KTXSendBreak holds, in milliseconds. */
#define KTX_MAX_BREAK_MS 5000u

#ifdef __cplusplus
extern "C" {
#endif

/* Texts are NUL-terminated in fields of fixed size. A text longer than its
 * field is cut at a character boundary and `truncated` is set. */
typedef struct KTXOpenError {
  int reason;          /* KTX_OPEN_... */
  int systemError;     /* the system's error code of the step that failed; 0 if none */
  int holderPid;       /* KTX_OPEN_IN_USE: the process holding the device, 0 if unknown
                          (always 0 on Windows, which does not say) */
  int truncated;       /* 1 when device or text was cut to fit */
  char device[256];    /* the device the open tried (empty for KTX_OPEN_OK) */
  char text[256];      /* for a person: "no such device", "in use by process 1234 (minicom)" */
} KTXOpenError;

typedef struct KTXPortStatus {
  int open;            /* 1 from a successful KTOpenPort until KTClosePort */
  int lost;            /* 1 once the device hung up, or its network connection
                          dropped, while open; until the port is opened again */
  uint32_t reports;    /* error reports made since the last KTOpenPort began */
  int truncated;       /* 1 when lastReport was cut to fit */
  char lastReport[256]; /* the last report's text, whichever thread made it; empty if none */
} KTXPortStatus;

typedef struct KTXDevice {
  char path[256];          /* what KTCOMM_COM<n> may name: a /dev/serial/by-id link, or the node */
                           /* (Windows: \\.\COMn, which port n opens) */
  char tty[64];            /* the node the path leads to, such as /dev/ttyUSB0 */
                           /* (Windows: the kernel device, \Device\Serial0) */
  int usb;                 /* 1: a USB device, the fields up to serial are filled (Windows: 0) */
  uint16_t vendorId;       /* 0x0403 */
  uint16_t productId;      /* 0x6001 */
  char manufacturer[128];  /* "FTDI"; empty where the device does not say */
  char product[128];
  char serial[128];
  int uartType;            /* a ttyS* line: the UART type its driver found (non-zero; Windows: 0) */
  int truncated;           /* 1 when a text above was cut to fit */
} KTXDevice;

/* Fills *out with how the last KTOpenPort of port 1..10 ended: reason
 * KTX_OPEN_OK when it opened (or none was tried), else why it failed, found
 * when it failed: for a local device from the node, its permissions and who
 * holds its lock; for tcp:// and rfc2217:// from the connection's own error.
 * On Windows from the error code of the open or of the set-up step alone.
 * Returns 0, 6 (null out) or 7. Does not block. */
KTCOMM_EXPORT int KTXGetOpenError(int port, KTXOpenError *out);

/* Fills *out with the state of port 1..10: open, lost (the worker found the
 * device hung up or the server's connection closed; the port stays open
 * until closed, and a waiting call still keeps its time-out), and the text
 * of the last error report, as the alert received it. To end a waiting call
 * at once when the device goes away, call KTClosePort from the alert when
 * this says lost: the call returns 5. Returns 0, 6 (null out) or 7. Does
 * not block; may be called from a KTWindow callback. */
KTCOMM_EXPORT int KTXGetPortStatus(int port, KTXPortStatus *out);

/* Sets *lines to the levels of the open port's modem lines, as KTX_LINE_*
 * bits: CTS, DSR, DCD and RI, and the outputs DTR and RTS. On Windows DTR
 * and RTS are the modes the port set them to, not measured. Returns 0, 5, 6
 * (null lines), 7, 8 (the device has none) or 9. Blocks only while an open
 * or close of the port is in progress on another thread. */
KTCOMM_EXPORT int KTXGetModemLines(int port, uint32_t *lines);

/* Holds the open port's transmit line in the break condition for durationMs
 * (1 to KTX_MAX_BREAK_MS) and releases it; blocks for that long, during
 * which an open or close of the port on another thread waits. Bytes queued
 * meanwhile go out when the worker writes them, which may be during the
 * break. Returns 0, 5, 7, 8 (the device cannot), 9 or 10 (duration out of
 * range). On Windows a device without modem lines (Wine's pty) cannot. */
KTCOMM_EXPORT int KTXSendBreak(int port, uint32_t durationMs);

/* Lists the serial devices present without opening any: the
 * /dev/serial/by-id links, USB ttys no link reaches, and ttyS* lines behind
 * which the kernel found a UART; on Windows the COM ports of the system's
 * serial-port map and DOS names, by number, without USB fields. Writes up
 * to `capacity` entries to devices (which may be null when capacity is 0)
 * and sets *count to the number present. Returns 0, 6 (more present than capacity, or a null
 * count) or 8. Reads /dev and sysfs (Windows: the registry); does not
 * block otherwise. */
KTCOMM_EXPORT int KTXListDevices(KTXDevice *devices, uint32_t capacity, uint32_t *count);

/* A short text for any result code of ktcomm.h or of this header, such as
 * "the port is not open"; "unknown result" for others. The text is static. */
KTCOMM_EXPORT const char *KTXResultText(int result);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KTCOMM_KTCOMM_EXT_H_ */
