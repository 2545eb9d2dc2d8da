/**
 * @file net.h
 * @brief Network status client: dial status and IP address of the data-connection profiles (1 to 14)
 *        from the ky.net service, and a callback whenever the service signals a change of the network
 *        state.
 *
 * Call InitNetInterface once, from the thread whose thread-default main context (normally the global
 * default one) will run the change handling: the callback runs there, and only while that context is
 * iterated (e.g. by a GMainLoop). Each change costs that thread two blocking D-Bus calls. The queries
 * block their caller for one D-Bus round trip and may be called from any thread once initialised.
 * Diagnostics go to syslog. Dial-status values and address texts are the service's, passed unchanged.
 *
 * If the system bus goes away, calls fail as on a D-Bus error; once it is back the client reconnects
 * by itself (callbacks too), with no second initialisation. The process is never ended for it.
 */
#ifndef TBOX_NET_H
#define TBOX_NET_H

#include <tbox/errors.h>
#include <tbox/export.h>
#include <tbox/net_gdbus.h>

TBOX_BEGIN_DECLS

/** The profile index is outside 1 to 14; nothing was sent (-40, TBOX_ERR_PROFILE_INDEX). */
#define ERR_NET_PROFILE_INDEX_INVALID TBOX_ERR_PROFILE_INDEX

/** First valid data profile index. */
#define NET_PROFILE_FIRST 1
/** Last valid data profile index. */
#define NET_PROFILE_LAST 14

/**
 * @brief Called on every change with the slot and the dial status just read for that profile.
 *
 * `slot` is 0 for profile 1 and 1 for profile 2 (the slot, not the profile); `dialStatus` is -1 when
 * the read failed.
 */
typedef void (*NetWorkStatusChangeCBack)(int slot, int dialStatus);

/**
 * @brief Opens ky.net (/ky/net) on the system bus and starts following its NetStatus signal.
 * @retval 0 success.
 * @retval -1 already initialised (nothing changes), or the proxy cannot be created (logged; a later call
 *         tries again).
 */
TBOX_API int InitNetInterface(void);

/**
 * @brief The profile's dial status.
 *
 * The statuses of profiles 1 and 2 are also kept for the change handling.
 * @param profileIndex 1 to 14.
 * @return the service's dial status, or:
 * @retval ERR_NET_PROFILE_INDEX_INVALID (-40) the index is outside 1 to 14 (logged, nothing sent).
 * @retval -1 not initialised ("NET Client not init" logged, nothing sent) or the call fails.
 */
TBOX_API int GetNetWorkStatus(int profileIndex);

/**
 * @brief Copies the profile's IP address text, terminator included, into `pIp`.
 * @param profileIndex 1 to 14 (tested before `pIp`).
 * @param pIp receives the text; it must hold the longest address the service sends (64 bytes hold any
 *        IPv4 or IPv6 text). Untouched on failure.
 * @retval 0 success.
 * @retval ERR_NET_PROFILE_INDEX_INVALID (-40) the index is outside 1 to 14.
 * @retval -1 `pIp` is NULL, not initialised (logged, nothing sent) or the call fails.
 */
TBOX_API int GetNetWorkIp(int profileIndex, char *pIp);

/**
 * @brief Stores the change callback; allowed before InitNetInterface (it fires only after it).
 * @param callback the callback.
 * @retval 0 stored.
 * @retval -1 `callback` is NULL or one is stored already (the first stays; there is no way to replace
 *         it).
 */
TBOX_API int RegisterNetWorkStatusChangeCBack(NetWorkStatusChangeCBack callback);

/**
 * @brief The handler InitNetInterface connects to the NetStatus signal. Applications do not call it.
 *
 * Reads profile 1, calls back with slot 0, then reads profile 2 and calls back with slot 1, whatever the
 * signal's value. Runs in the main context of the thread that called InitNetInterface.
 * @param proxy the signal's proxy (unused).
 * @param value the signal's value (unused).
 * @param userData unused.
 */
TBOX_API void NetStatusChange(KyNet *proxy, gboolean value, gpointer userData);

TBOX_END_DECLS

#endif
