/**
 * @file wifi.h
 * @brief Wi-Fi client: switches Wi-Fi, its access point and its station through the ky.wifi service.
 *
 * Each function is one synchronous D-Bus call that blocks its caller; the interface has no signals, so
 * no main loop is needed. Call InitWifiInterface once, from one thread, before sharing the client;
 * then any thread may call. Diagnostics are plain lines printed with g_print (nothing goes to syslog).
 * Before InitWifiInterface has succeeded every function returns its failure result and prints and
 * sends nothing. The meanings of modes, status values, the record's members and `mask` are the
 * service's.
 *
 * If the system bus goes away, calls fail as on a D-Bus error; once it is back the next call
 * reconnects, with no second initialisation. The process is never ended for it.
 */
#ifndef TBOX_WIFI_H
#define TBOX_WIFI_H

#include <stdint.h>
#include <tbox/export.h>
#include <tbox/wifi_gdbus.h>

TBOX_BEGIN_DECLS

/** Size of each text field of WiFiApInfo with its terminator: at most 31 characters. */
#define WIFI_AP_TEXT_SIZE 32

/** @brief Access-point record (68 bytes): the service's (ssi) structure, in order. */
typedef struct {
    char ssid[WIFI_AP_TEXT_SIZE];   /**< offset 0: first text, NUL-terminated */
    char passwd[WIFI_AP_TEXT_SIZE]; /**< offset 32: second text, NUL-terminated */
    int32_t value;                  /**< offset 64: the structure's integer, host byte order */
} WiFiApInfo;

/**
 * @brief Opens ky.wifi (/ky/wifi) on the system bus.
 * @retval 0 success.
 * @retval -1 already initialised (nothing changes) or the proxy cannot be created ("Error:new proxy for
 *         wifi[<message>]" printed; a later call tries again).
 */
TBOX_API int InitWifiInterface(void);

/**
 * @brief The service's Wi-Fi status ("get WifiStatus success:<status>" printed).
 * @return the status, or -1 when the call fails.
 */
TBOX_API int ClientGetWifiStatus(void);
/**
 * @brief Sets the Wi-Fi mode.
 * @param mode the service's mode.
 * @retval 0 success.
 * @retval -1 the call fails.
 */
TBOX_API int SetWiFiMode(int mode);
/**
 * @brief Switches Wi-Fi off ("disable wifi ok" printed).
 * @retval 0 success.
 * @retval 255 (not -1) not initialised, or the call fails.
 */
TBOX_API int DisableWifi(void);
/**
 * @brief Switches Wi-Fi on ("enable wifi succes" printed, spelled so).
 * @retval 0 success.
 * @retval 255 (not -1) not initialised, or the call fails.
 */
TBOX_API int EnableWiFi(void);

/**
 * @brief Fills `info` from the service's access-point settings.
 * @param info receives the record; untouched on failure.
 * @retval 0 success.
 * @retval -1 `info` is NULL, the call fails, or a text of the answer is longer than 31 characters (the
 *         printed failure line names which one).
 */
TBOX_API int GetWiFiApInfo(WiFiApInfo *info);

/**
 * @brief Sends the record's two texts and its integer as one (ssi) structure, then `mask`.
 * @param info the record.
 * @param mask the service's mask.
 * @retval 0 success.
 * @retval -1 `info` is NULL, the call fails, or a text field is refused before anything is sent: no
 *         terminator within its 32 bytes, or not valid UTF-8 (the printed failure line names the field).
 */
TBOX_API int SetWiFiApInfo(const WiFiApInfo *info, int mask);

/**
 * @brief Stops the access point.
 * @retval 0 success.
 * @retval -1 the call fails.
 */
TBOX_API int StopWiFiAp(void);
/**
 * @brief Starts the access point.
 * @retval 0 success.
 * @retval -1 the call fails.
 */
TBOX_API int StartWiFiAp(void);
/**
 * @brief Stops the station.
 * @retval 0 success.
 * @retval -1 the call fails.
 */
TBOX_API int StopWiFiSta(void);
/**
 * @brief Starts the station.
 * @retval 0 success.
 * @retval -1 the call fails.
 */
TBOX_API int StartWiFiSta(void);

/**
 * @brief Connects the station to network `ssid` with `passwd`, sent in this order.
 * @param ssid the network, UTF-8.
 * @param passwd its password, UTF-8.
 * @retval 0 success.
 * @retval -1 either text is NULL or not valid UTF-8 (nothing sent), or the call fails.
 */
TBOX_API int ConnectWiFiStaToApp(const char *ssid, const char *passwd);

TBOX_END_DECLS

#endif
