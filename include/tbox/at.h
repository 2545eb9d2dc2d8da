/*
 * AT command client: synchronous access to the cellular modem through the ky.at service.
 *
 * Call InitAtInterface once, from one thread, before any other function here except GpsEnable and
 * GpsDisable. Afterwards SendAT and its wrappers may be called from any thread; each blocks for one
 * D-Bus round trip. URC callbacks run in the thread-default main context of the thread that called
 * InitAtInterface, while that context is iterated (e.g. by a GMainLoop).
 * If the system bus goes away, calls fail as on a D-Bus error; once it is back the client reconnects
 * by itself (callbacks too), with no second initialisation. The process is never ended for it.
 */
#ifndef TBOX_AT_H
#define TBOX_AT_H

#include <tbox/at_gdbus.h>
#include <tbox/errors.h>
#include <tbox/export.h>

TBOX_BEGIN_DECLS

/* Handler of the "urc-broadcast" signal: (proxy, urc text, sms text, user data = NULL). */
typedef void (*AtUrcCallback)(KyAt *proxy, const gchar *urc, const gchar *sms, gpointer user_data);

/* The process-wide ky.at proxy; NULL until InitAtInterface succeeds, then the live one (it changes when the
 * client reconnects after a bus restart). */
extern TBOX_API KyAt *g_proxy;

/*
 * Opens ky.at (/ky/at) on the system bus and connects `callback` (may be NULL) to "urc-broadcast". A second call
 * replaces the proxy: the old one is released, so each URC reaches the callback once. Returns 0, or -1 when the proxy
 * cannot be created.
 */
TBOX_API int InitAtInterface(AtUrcCallback callback);

/*
 * Sends one AT command line. `prefix` selects the answer line (NULL is sent as ""), `responseLines`
 * is how many lines the service collects. The whole answer, terminator included, is copied into
 * `response` (the caller sizes it for the longest answer; NULL discards the answer).
 * Returns the service's cmdResult (0 = success), TBOX_ERR_NULL_ARG (-25) if `cmd` is NULL, TBOX_ERR_DBUS (-22)
 * if the D-Bus call fails, InitAtInterface has not succeeded, or `cmd` or `prefix` is not valid UTF-8
 * (D-Bus strings must be; nothing is sent then).
 */
TBOX_API int SendAT(const char *cmd, const char *prefix, int responseLines, char *response);

/* "at+qccid", prefix "+QCCID", 1 line; the raw answer goes to `iccid`. TBOX_ERR_NULL_ARG if iccid is NULL. */
TBOX_API int GetModemICCID(char *iccid);
/* "at+gsn", no prefix, 3 lines; the raw answer goes to `imei`. TBOX_ERR_NULL_ARG if imei is NULL. */
TBOX_API int GetModemIMEI(char *imei);
/* "at+cimi", no prefix, 3 lines; the raw answer goes to `imsi`. TBOX_ERR_NULL_ARG if imsi is NULL. */
TBOX_API int GetModemIMSI(char *imsi);
/*
 * "at+csq", prefix "+CSQ:", 1 line, into an internal 12-byte buffer (longer answers are cut);
 * stores the leading decimal number (RSSI) of the answer, low 8 bits, into *csq.
 * TBOX_ERR_NULL_ARG if csq is NULL. On a failed call *csq is left unchanged.
 */
TBOX_API int GetModemCSQ(unsigned char *csq);
/* "AT+QADC=<channel>", no prefix, 1 line; the raw answer goes to `response`. */
TBOX_API int ReadADC(int channel, char *response);
/* Configures the GNSS engine with four AT+QGPSCFG commands; stops at and returns the first failure. */
TBOX_API int GpsInit(void);
/* Drive the GNSS enable line (GPIO 24) high / low through the GPIO script. Always 0. */
TBOX_API int GpsEnable(void);
TBOX_API int GpsDisable(void);

TBOX_END_DECLS

#endif
