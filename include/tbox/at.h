/**
 * @file at.h
 * @brief AT command client: synchronous access to the cellular modem through the ky.at service.
 *
 * Call InitAtInterface once, from one thread, before any other function here except GpsEnable and
 * GpsDisable. Afterwards SendAT and its wrappers may be called from any thread; each blocks for one
 * D-Bus round trip (GIO's default time-out of 25 s). URC callbacks run in the thread-default main
 * context of the thread that called InitAtInterface, while that context is iterated (e.g. by a
 * GMainLoop).
 *
 * If the system bus goes away, calls fail as on a D-Bus error; once it is back the client reconnects
 * by itself (callbacks too), with no second initialisation. The process is never ended for it.
 * Failures are logged to syslog (err level).
 */
#ifndef TBOX_AT_H
#define TBOX_AT_H

#include <tbox/at_gdbus.h>
#include <tbox/errors.h>
#include <tbox/export.h>

TBOX_BEGIN_DECLS

/**
 * @brief Handler of the "urc-broadcast" signal (the service's UrcBroadcast).
 *
 * Called as (proxy, urc text, sms text, user data = NULL) in the main context of the thread that called
 * InitAtInterface. The texts belong to the signal and are valid only during the call.
 */
typedef void (*AtUrcCallback)(KyAt *proxy, const gchar *urc, const gchar *sms, gpointer user_data);

/**
 * @brief The process-wide ky.at proxy.
 *
 * NULL until InitAtInterface succeeds, then the live one (it changes when the client reconnects after a
 * bus restart). Owned by the library: do not unref it.
 */
extern TBOX_API KyAt *g_proxy;

/**
 * @brief Opens ky.at (/ky/at) on the system bus and connects `callback` to "urc-broadcast".
 *
 * A second call replaces the proxy: the old one is released, so each URC reaches the callback once.
 * Blocks while the proxy is made (one bus connection on first use).
 * @param callback URC handler, or NULL for none.
 * @retval 0 the proxy is open.
 * @retval -1 the proxy cannot be created (logged).
 */
TBOX_API int InitAtInterface(AtUrcCallback callback);

/**
 * @brief Sends one AT command line and waits for the modem service's answer.
 *
 * The whole answer, terminator included, is copied into `response`; the library does not know the
 * buffer's size, so the caller sizes it for the longest answer of that command.
 * @param cmd the command line, NUL-terminated UTF-8.
 * @param prefix selects the answer line; NULL is sent as "".
 * @param responseLines how many lines the service collects.
 * @param response buffer for the answer, owned by the caller; NULL discards the answer.
 * @return the service's cmdResult: 0 is success, another value the service's failure code (e.g. 4 for
 *         "+CME ERROR: 4"); or one of:
 * @retval TBOX_ERR_NULL_ARG (-25) `cmd` is NULL; nothing sent.
 * @retval TBOX_ERR_DBUS (-22) the D-Bus call failed, InitAtInterface has not succeeded, or `cmd` or
 *         `prefix` is not valid UTF-8 (D-Bus strings must be; nothing is sent then).
 */
TBOX_API int SendAT(const char *cmd, const char *prefix, int responseLines, char *response);

/**
 * @brief Reads the SIM's ICCID: "at+qccid", prefix "+QCCID", 1 line.
 * @param iccid receives the raw answer, as SendAT copies it (sized by the caller for it).
 * @return as SendAT; TBOX_ERR_NULL_ARG (-25) if `iccid` is NULL.
 */
TBOX_API int GetModemICCID(char *iccid);
/**
 * @brief Reads the modem's IMEI: "at+gsn", no prefix, 3 lines.
 * @param imei receives the raw answer, as SendAT copies it.
 * @return as SendAT; TBOX_ERR_NULL_ARG (-25) if `imei` is NULL.
 */
TBOX_API int GetModemIMEI(char *imei);
/**
 * @brief Reads the SIM's IMSI: "at+cimi", no prefix, 3 lines.
 * @param imsi receives the raw answer, as SendAT copies it.
 * @return as SendAT; TBOX_ERR_NULL_ARG (-25) if `imsi` is NULL.
 */
TBOX_API int GetModemIMSI(char *imsi);
/**
 * @brief Reads the signal quality: "at+csq", prefix "+CSQ:", 1 line.
 *
 * The answer goes into an internal 12-byte buffer (longer answers are cut); its leading decimal number
 * (the RSSI), low 8 bits, is stored into *csq, also when the service's result is not 0.
 * @param csq receives the RSSI; left unchanged when the call fails with TBOX_ERR_DBUS.
 * @return as SendAT; TBOX_ERR_NULL_ARG (-25) if `csq` is NULL.
 */
TBOX_API int GetModemCSQ(unsigned char *csq);
/**
 * @brief Reads an ADC channel: "AT+QADC=<channel>", no prefix, 1 line.
 * @param channel the ADC channel, sent as decimal text.
 * @param response receives the raw answer, as SendAT copies it (NULL discards it).
 * @return as SendAT; a result other than 0 is also logged ("Read ADC Err").
 */
TBOX_API int ReadADC(int channel, char *response);
/**
 * @brief Configures the GNSS engine with four AT+QGPSCFG commands (outport, then the GLONASS,
 *        Galileo and BeiDou NMEA types).
 * @return 0 when all four succeed; otherwise the first failure's SendAT result (the step is logged,
 *         the later commands are not sent).
 */
TBOX_API int GpsInit(void);
/**
 * @brief Drives the GNSS enable line (GPIO 24) high, through `sh /oemapp/servers/set_gpio.sh 24 1`.
 *
 * Runs the script with system(3) and waits for it; needs no initialisation. The script's outcome is
 * not checked.
 * @return always 0.
 */
TBOX_API int GpsEnable(void);
/**
 * @brief Drives the GNSS enable line (GPIO 24) low, through `sh /oemapp/servers/set_gpio.sh 24 0`.
 *
 * As GpsEnable.
 * @return always 0.
 */
TBOX_API int GpsDisable(void);

TBOX_END_DECLS

#endif
