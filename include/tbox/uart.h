/**
 * @file uart.h
 * @brief UART helper: open a serial device in raw mode with given line settings, then read, write, flush
 *        and set read timing on it through termios.
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

/**
 * @brief Opens a serial device and sets it up in raw mode with the given line settings.
 *
 * Opens `path` read/write, blocking, without making it the controlling terminal. On failure the
 * device's attributes are left as they were and nothing stays open (the reason is logged).
 * @param path the device, e.g. "/dev/ttyS1".
 * @param speed bits per second, one of 9600, 38400, 57600, 115200, 460800, 576000, 921600, 1500000,
 *        2000000, 2500000, 3000000, 3500000, 4000000 (nothing else, e.g. not 19200 or 230400).
 * @param flowCtrl 0 none, 1 hardware (RTS/CTS), 2 software; raw mode turns software flow control off
 *        again, so 2 ends like 0 except that RTS/CTS stays as the device had it.
 * @param dataBit 5, 6, 7 or 8.
 * @param stopBit 1 or 2.
 * @param parity 0 none, 1 odd, 2 even (with input parity check).
 * @return the open descriptor, owned by the caller (release it with UartClose), or -1: NULL path, open
 *         failure, a value out of range, or attributes that cannot be read or written.
 */
TBOX_API int UartInit(const char *path, int speed, uint8_t flowCtrl, uint8_t dataBit, uint8_t stopBit, uint8_t parity);

/**
 * @brief Closes `fd`.
 * @param fd the descriptor; -1 is ignored (only logged), so the result of a failed UartInit may be
 *        passed.
 */
TBOX_API void UartClose(int fd);

/**
 * @brief Discards bytes received on `fd` and not yet read (TCIFLUSH). Failures are not reported.
 * @param fd the descriptor.
 */
TBOX_API void UartFlush(int fd);

/**
 * @brief Sets read timing on `fd`, as termios defines it for non-canonical reads; also turns CREAD and
 *        CLOCAL on.
 *
 * vTime 0, vMin 0 makes UartRecvData return at once. Failures are logged only.
 * @param fd the descriptor.
 * @param vTime VTIME, in tenths of a second.
 * @param vMin VMIN, in bytes.
 */
TBOX_API void UartSetCC(int fd, uint8_t vTime, uint8_t vMin);

/**
 * @brief Writes the `len` bytes at `data` to `fd` and blocks until all are written.
 *
 * A write cut short or interrupted by a signal is continued.
 * @param fd the descriptor.
 * @param data the bytes.
 * @param len their count.
 * @return the number of bytes written (at most INT_MAX per call); if writing fails part way, the count
 *         written before the failure; or:
 * @retval -1 fd is -1, or the first write fails.
 * @retval TBOX_ERR_NULL_BUFFER (-2) `data` is NULL.
 */
TBOX_API int UartSendData(int fd, const uint8_t *data, uint32_t len);

/**
 * @brief Reads once from `fd` into `buffer`, waiting as VMIN and VTIME say.
 * @param fd the descriptor.
 * @param buffer receives the bytes, owned by the caller.
 * @param size its size (at most INT_MAX used).
 * @return the number of bytes read (0 when the timing expired with nothing received, or when the line
 *         has hung up), or:
 * @retval -1 fd is -1.
 * @retval TBOX_ERR_NULL_BUFFER (-2) `buffer` is NULL.
 * @retval TBOX_ERR_READ (-11) the read fails (a signal arriving during the wait is such a failure, which
 *         lets another thread wake a blocked reader).
 */
TBOX_API int UartRecvData(int fd, uint8_t *buffer, uint32_t size);

TBOX_END_DECLS

#endif
