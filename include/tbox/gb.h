/**
 * @file gb.h
 * @brief GB real-time data client: the national-standard real-time vehicle data records that the
 *        ky.gbreal service broadcasts, its alarm state and the KL15 (ignition) and charging status.
 *
 * Call InitGbRealDataClient once, from the thread whose thread-default main context (normally the global
 * default one) will deliver the records: the callback runs there, and the alarm state seen by IsAlarm is
 * updated there, only while that context is iterated (e.g. by a GMainLoop). GetKL15AndChargingStatus
 * blocks its caller for one D-Bus round trip and may be called from any thread. Diagnostics go to
 * syslog. The records' layout and the status values are the service's; the client passes them on
 * unread.
 *
 * If the system bus goes away, calls fail as on a D-Bus error; once it is back the client reconnects
 * by itself (callbacks too), with no second initialisation. The process is never ended for it.
 */
#ifndef TBOX_GB_H
#define TBOX_GB_H

#include <stdint.h>
#include <tbox/export.h>
#include <tbox/gb_gdbus.h>

TBOX_BEGIN_DECLS

/** Size of the buffer that carries a record of up to this many bytes, zero-filled after the record. */
#define GB_RECORD_BUFFER_SIZE 2048

/**
 * @brief Receives each record.
 *
 * `recvDataLen` comes exactly as the signal carries it, and the record's bytes at the start of a buffer
 * of GB_RECORD_BUFFER_SIZE bytes, zero-filled after them; a longer record comes whole in a buffer of its
 * own size. The buffer belongs to the library and is valid only during the call: copy what you keep.
 * Records with no bytes ("Get GbRealData  Error"), and records whose recvDataLen is negative or larger
 * than that buffer ("Drop GbRealData: ..."), are dropped with a warn line instead (so
 * `data[0 .. recvDataLen)` is always readable).
 */
typedef void (*GbRealDataCBack)(int32_t recvDataLen, const uint8_t *data);

/** @brief The record callback; NULL until the first successful InitGbRealDataClient, then never
 *  replaced. */
extern TBOX_API GbRealDataCBack g_gbRealDataCBack;

/**
 * @brief Opens ky.gbreal (/ky/gbreal) on the system bus, which also starts following its AlarmState, and
 *        delivers records to `callback`.
 * @param callback the record callback (required).
 * @retval 0 success, and when already initialised (the first callback stays; "GbRealData Client has
 *         init" is logged).
 * @retval -1 `callback` is NULL (even if initialised), or the proxy cannot be created (logged; a later
 *         call tries again).
 */
TBOX_API int InitGbRealDataClient(GbRealDataCBack callback);

/**
 * @brief Whether the service's alarm state, as last published to this client, is true. Sends nothing;
 *        any thread may call it.
 * @retval 1 the alarm state is true.
 * @retval 0 it is false, not known, or the client is not initialised.
 */
TBOX_API int IsAlarm(void);

/**
 * @brief Reads the KL15 status and the charging status.
 * @param kl15Status receives the KL15 status.
 * @param chargingStatus receives the charging status.
 * @retval 0 both written.
 * @retval -1 not initialised, either pointer is NULL (nothing sent) or the call fails (not logged).
 */
TBOX_API int GetKL15AndChargingStatus(int32_t *kl15Status, int32_t *chargingStatus);

TBOX_END_DECLS

#endif
