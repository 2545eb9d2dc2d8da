/**
 * @file pm.h
 * @brief Power-management client: power state, wake-up source and MCU heartbeat from the ky.pm
 *        service; waking the system; holding sleep off by named sleep events; sleep alarms; and
 *        callbacks for power-state changes and G-sensor wake-ups.
 *
 * One client per process. Call InitPmClient once, with the module name that the client writes into its
 * log lines, from the thread whose thread-default main context (normally the global default one) will
 * run the callbacks; they run only while that context is iterated (e.g. by a GMainLoop). Register the
 * callbacks from that same thread before sharing the client. Every other function blocks its caller for
 * one D-Bus round trip and may then be called from any thread. Before InitPmClient has succeeded every
 * function logs "PM Client not init" (warn level) and returns -1 (DeleteSleepAlarm returns nothing);
 * nothing is sent. Diagnostics go to syslog, except a failed proxy creation, which is printed with
 * g_print. Power states, wake-up sources, the heartbeat, alarm time-outs and event ids and sleep-event
 * names are the service's and are passed unchanged.
 *
 * If the system bus goes away, calls fail as on a D-Bus error; once it is back the client reconnects
 * by itself (callbacks too), with no second initialisation. The process is never ended for it.
 */
#ifndef TBOX_PM_H
#define TBOX_PM_H

#include <stdint.h>
#include <tbox/export.h>
#include <tbox/pm_gdbus.h>

TBOX_BEGIN_DECLS

/** @brief Called with the PowerStateChanged signal's power state, wake-up source and sleep-alarm event
 *  id. */
typedef void (*PmStateChangedCBack)(uint8_t powerState, uint8_t wakeupSource, int32_t sleepAlarmEventId);
/** @brief Called on every GsensorWakeUp signal. */
typedef void (*PmGsensorWakeUpCBack)(void);

/** @brief The registered power-state callback; NULL until registered, then never replaced. */
extern TBOX_API PmStateChangedCBack g_pmStateChangedCBack;
/** @brief The registered G-sensor wake-up callback; NULL until registered, then never replaced. */
extern TBOX_API PmGsensorWakeUpCBack g_pmGsensorWakeUpCBack;

/**
 * @brief Opens ky.pm (/ky/pm) on the system bus and keeps a copy of `moduleName`.
 * @param moduleName the name written into the client's log lines; copied.
 * @retval 0 success, and when already initialised (the argument is then ignored, even NULL, and the
 *         first name stays).
 * @retval -1 a NULL name, or the proxy cannot be created (printed; a later call tries again).
 */
TBOX_API int InitPmClient(const char *moduleName);

/**
 * @brief The power state.
 * @return 0 to 255; -1 when not initialised or the call fails.
 */
TBOX_API int GetPmState(void);
/**
 * @brief The wake-up source.
 * @return 0 to 255; -1 when not initialised or the call fails.
 */
TBOX_API int GetPmWakeUpSource(void);
/**
 * @brief The MCU heartbeat as the service gives it.
 * @return the heartbeat; -1 when not initialised or the call fails (a heartbeat of -1 looks the same).
 */
TBOX_API int GetMcuHeartbeatStatus(void);
/**
 * @brief Asks the service to wake the system for `wakeupSource`.
 * @param wakeupSource the service's wake-up source.
 * @retval 0 success.
 * @retval -1 not initialised or the call fails.
 */
TBOX_API int Wakeup(int wakeupSource);

/**
 * @brief Holds sleep off for the named event.
 * @param sleepEvent the event's name, UTF-8.
 * @retval 0 success.
 * @retval -1 not initialised, `sleepEvent` is NULL or not valid UTF-8 (logged, nothing sent), or the
 *         call fails.
 */
TBOX_API int SetSleepEvent(const char *sleepEvent);
/**
 * @brief Releases the hold of the named event.
 * @param sleepEvent the event's name, UTF-8.
 * @return as SetSleepEvent.
 */
TBOX_API int CleanSleepEvent(const char *sleepEvent);

/**
 * @brief Creates a sleep alarm: time-out, then event id, as sent.
 * @param sleepAlarmTimeOut the service's time-out.
 * @param sleepAlarmEventId the id the alarm's PowerStateChanged will carry.
 * @retval 0 success.
 * @retval -1 not initialised or the call fails.
 */
TBOX_API int CreateSleepAlarm(int sleepAlarmTimeOut, int sleepAlarmEventId);
/**
 * @brief Deletes a sleep alarm; the outcome is only logged.
 * @param sleepAlarmEventId the alarm's event id.
 */
TBOX_API void DeleteSleepAlarm(int sleepAlarmEventId);

/**
 * @brief Stores the power-state callback, once.
 *
 * Checked in this order: not initialised, one already stored (the first stays), `callback` NULL; each
 * gives -1 with its log line.
 * @param callback the callback.
 * @retval 0 stored.
 * @retval -1 refused, as above.
 */
TBOX_API int RegisterPmStateChangeCBack(PmStateChangedCBack callback);
/**
 * @brief Stores the G-sensor wake-up callback, once; as RegisterPmStateChangeCBack.
 * @param callback the callback.
 * @retval 0 stored.
 * @retval -1 refused.
 */
TBOX_API int RegisterPmGsensorWakeUpCBack(PmGsensorWakeUpCBack callback);

TBOX_END_DECLS

#endif
