/*
 * Wi-Fi client: switches Wi-Fi, its access point and its station through the ky.wifi service.
 *
 * Each function is one synchronous D-Bus call that blocks its caller; the interface has no signals, so
 * no main loop is needed. Call InitWifiInterface once, from one thread, before sharing the client.
 * Diagnostics are plain lines printed with g_print (nothing goes to syslog). Before InitWifiInterface
 * has succeeded every function returns its failure result and prints and sends nothing.
 * The meanings of modes, status values, the record's members and `mask` are the service's.
 * If the system bus goes away, calls fail as on a D-Bus error; once it is back the next call
 * reconnects, with no second initialisation. The process is never ended for it.
 */
#ifndef TBOX_WIFI_H
#define TBOX_WIFI_H

#include <stdint.h>
#include <tbox/export.h>
#include <tbox/wifi_gdbus.h>

TBOX_BEGIN_DECLS

#define WIFI_AP_TEXT_SIZE 32 /* each text field with its terminator: at most 31 characters */

/* Access-point record (68 bytes): the service's (ssi) structure, in order. */
typedef struct {
    char ssid[WIFI_AP_TEXT_SIZE];   /* offset 0: first text, NUL-terminated */
    char passwd[WIFI_AP_TEXT_SIZE]; /* offset 32: second text, NUL-terminated */
    int32_t value;                  /* offset 64: the structure's integer, host byte order */
} WiFiApInfo;

/* Opens ky.wifi (/ky/wifi) on the system bus. 0; -1 when already initialised (nothing changes) or when the
 * proxy cannot be created ("Error:new proxy for wifi[<message>]"; a later call tries again). */
TBOX_API int InitWifiInterface(void);

/* The service's Wi-Fi status (printed), or -1 when the call fails. */
TBOX_API int ClientGetWifiStatus(void);
/* 0, or -1 when the call fails. */
TBOX_API int SetWiFiMode(int mode);
/* 0, or 255 (not -1) when not initialised or when the call fails. */
TBOX_API int DisableWifi(void);
TBOX_API int EnableWiFi(void);

/*
 * Fills `info` from the service's access-point settings. 0; -1 when `info` is NULL, the call fails, or a
 * text of the answer is longer than 31 characters (the printed failure line names which one). `info` is
 * untouched on failure.
 */
TBOX_API int GetWiFiApInfo(WiFiApInfo *info);

/*
 * Sends the record's two texts and its integer as one (ssi) structure, then `mask`. 0; -1 when `info` is
 * NULL, the call fails, or a text field is refused before anything is sent: no terminator within its 32
 * bytes, or not valid UTF-8 (the printed failure line names the field).
 */
TBOX_API int SetWiFiApInfo(const WiFiApInfo *info, int mask);

/* Access point and station on and off. 0, or -1 when the call fails. */
TBOX_API int StopWiFiAp(void);
TBOX_API int StartWiFiAp(void);
TBOX_API int StopWiFiSta(void);
TBOX_API int StartWiFiSta(void);

/* Connects the station to network `ssid` with `passwd`, sent in this order. 0; -1 when either text is NULL
 * or not valid UTF-8 (nothing sent) or when the call fails. */
TBOX_API int ConnectWiFiStaToApp(const char *ssid, const char *passwd);

TBOX_END_DECLS

#endif
