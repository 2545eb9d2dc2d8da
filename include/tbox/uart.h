/*
 * UART helper: open a serial device in raw mode with given line settings, then read, write, flush and
 * set read timing on it through termios.
 *
 * The helper keeps no state: the caller owns the descriptor UartInit returns and passes it to every other
 * function. Calls on different descriptors are independent and may run on any threads concurrently.
 * Nothing here needs a main loop. Diagnostics go to syslog.
 *
 * Raw mode, as UartInit leaves the device: no output processing (OPOST, ONLCR, OCRNL off), no canonical
 * input, echo or signal characters (ICANON, ECHO, ECHOE, ISIG off), no CR/NL translation on input
 * (INLCR, IGNCR, ICRNL off), no software flow control (IXON, IXOFF, IXANY off), receiver on and modem
 * lines ignored (CREAD, CLOCAL on). Other attributes, and the read timing (VMIN, VTIME), keep what the
 * device had; set the timing with UartSetCC.
 */
#ifndef TBOX_UART_H
#define TBOX_UART_H

#include <stdint.h>

#include <tbox/errors.h>
#include <tbox/export.h>

TBOX_BEGIN_DECLS

/*
 * Opens `path` read/write, blocking, without making it the controlling terminal, and sets it up:
 *   speed     bits per second, one of 9600, 38400, 57600, 115200, 460800, 576000, 921600, 1500000,
 *             2000000, 2500000, 3000000, 3500000, 4000000 (nothing else, e.g. not 19200 or 230400);
 *   flowCtrl  0 none, 1 hardware (RTS/CTS), 2 software; raw mode turns software flow control off again,
 *             so 2 ends like 0 except that RTS/CTS stays as the device had it;
 *   dataBit   5, 6, 7 or 8;   stopBit 1 or 2;   parity 0 none, 1 odd, 2 even (with input parity check).
 * Returns the open descriptor (release it with UartClose), or -1: NULL path, open failure, a value out
 * of range, or attributes that cannot be read or written. On failure the device's attributes are left
 * as they were and nothing stays open.
 */
TBOX_API int UartInit(const char *path, int speed, uint8_t flowCtrl, uint8_t dataBit, uint8_t stopBit, uint8_t parity);

/* Closes `fd`. -1 is ignored (only logged), so the result of a failed UartInit may be passed. */
TBOX_API void UartClose(int fd);

/* Discards bytes received on `fd` and not yet read (TCIFLUSH). Failures are not reported. */
TBOX_API void UartFlush(int fd);

/*
 * Sets read timing on `fd`: VTIME = vTime (tenths of a second), VMIN = vMin (bytes), as termios
 * defines them for non-canonical reads; also turns CREAD and CLOCAL on. vTime 0, vMin 0 makes
 * UartRecvData return at once. Failures are logged only.
 */
TBOX_API void UartSetCC(int fd, uint8_t vTime, uint8_t vMin);

/*
 * Writes the `len` bytes at `data` to `fd` and blocks until all are written (a write cut short or
 * interrupted by a signal is continued). Returns the number of bytes written (at most INT_MAX per
 * call), -1 for fd -1 or when the first write fails, TBOX_ERR_NULL_BUFFER (-2) for NULL data. If writing fails part
 * way, returns the count written before the failure.
 */
TBOX_API int UartSendData(int fd, const uint8_t *data, uint32_t len);

/*
 * Reads once from `fd` into `buffer` (`size` bytes, at most INT_MAX used), waiting as VMIN and VTIME
 * say. Returns the number of bytes read (0 when the timing expired with nothing received, or when the
 * line has hung up), -1 for fd -1, TBOX_ERR_NULL_BUFFER (-2) for a NULL buffer, TBOX_ERR_READ (-11) when the read fails
 * (a signal arriving during the wait is such a failure, which lets another thread wake a blocked reader).
 */
TBOX_API int UartRecvData(int fd, uint8_t *buffer, uint32_t size);

TBOX_END_DECLS

#endif
