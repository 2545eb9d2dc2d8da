/**
 * @file gnss.h
 * @brief GNSS client: positions, raw NMEA text and the force-sync flag from the ky.gnss positioning
 *        service.
 *
 * Call InitGNSSInterface once, from the thread whose thread-default main context (normally the global
 * default one) will deliver the callbacks: they, and the updates of the force-sync flag, run only while
 * that context is iterated, e.g. by a GMainLoop. GetGpsData blocks its caller for one D-Bus round trip
 * and may be called from any thread once initialised; GetForceSyncFlag from any thread at any time.
 * Diagnostics are plain lines printed with g_print. The ten numbers of a record are the service's
 * (quantities, units, scaling); the client copies them unchanged.
 *
 * If the system bus goes away, calls fail as on a D-Bus error; once it is back the client reconnects
 * by itself (callbacks too), with no second initialisation. The process is never ended for it.
 */
#ifndef TBOX_GNSS_H
#define TBOX_GNSS_H

#include <stdbool.h>
#include <stdint.h>
#include <tbox/export.h>
#include <tbox/gnss_gdbus.h>

TBOX_BEGIN_DECLS

/** Number of members of a position record. */
#define GNSS_RECORD_FIELDS 10

/** @brief A position record: the ten signed 32-bit members of the service's (iiiiiiiiii) tuple. */
typedef struct {
    int32_t field[GNSS_RECORD_FIELDS]; /**< the tuple's members, in order */
} GnssRecord;

/** @brief Receives the text of each GpsOrignalUpdate signal; the text is valid only during the call. */
typedef void (*GnssNmeaCallback)(const char *nmea);
/** @brief Receives each GpsParseredUpdate record; the record is valid only during the call. */
typedef void (*GnssRecordCallback)(const GnssRecord *record);

/**
 * @brief Opens ky.gnss (/ky/gnss) on the system bus and keeps the two callbacks.
 * @param nmeaCallback NMEA text handler, or NULL (its signals are then ignored).
 * @param recordCallback position handler, or NULL.
 * @retval 0 success, and when already initialised (the callbacks given then are not used: the first ones
 *         stay).
 * @retval 255 the proxy cannot be created ("Error:new proxy for gnss[<message>]" printed; nothing is kept
 *         and a later call tries again).
 */
TBOX_API uint8_t InitGNSSInterface(GnssNmeaCallback nmeaCallback, GnssRecordCallback recordCallback);

/**
 * @brief Fills *record with the service's current position ("get param success" printed).
 * @param record receives the position.
 * @retval true the record is filled.
 * @retval false not initialised or `record` is NULL (nothing sent or printed), or the call fails
 *         ("get param error:<message>" printed; *record untouched).
 */
TBOX_API bool GetGpsData(GnssRecord *record);

/**
 * @brief The force-sync flag: 1 until the first GpsSyncTime signal, then the value of the latest one.
 *
 * It is read and written atomically, so any thread may read it.
 * @return the flag.
 */
TBOX_API int32_t GetForceSyncFlag(void);

TBOX_END_DECLS

#endif
