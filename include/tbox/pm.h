/*
 * Power-management client: power state, wake-up source and MCU heartbeat from the ky.pm service; waking
 * the system; holding sleep off by named sleep events; sleep alarms; and callbacks for power-state
 * changes and G-sensor wake-ups.
 *
 * One client per process. Call InitPmClient once, with the module name that the client writes into its
 * log lines, from the thread whose thread-default main context (normally the global default one) will
 * run the callbacks; they run only while that context is iterated (e.g. by a GMainLoop). Register the
 * callbacks from that same thread before sharing the client. Every other function blocks its caller for
 * one D-Bus round trip and may then be called from any thread. Before InitPmClient has succeeded every
 * function logs "PM Client not init" and returns -1 (DeleteSleepAlarm returns nothing); nothing is sent.
 * Diagnostics go to syslog, except a failed proxy creation, which is printed with g_print. Power states,
 * wake-up sources, the heartbeat, alarm time-outs and event ids and sleep-event names are the service's
 * and are passed unchanged.
 * If the system bus goes away, calls fail as on a D-Bus error; once it is back the client reconnects
 * by itself (callbacks too), with no second initialisation. The process is never ended for it.
 */
#ifndef TBOX_PM_H
#define TBOX_PM_H

#include <stdint.h>
#include <tbox/export.h>
#include <tbox/pm_gdbus.h>

TBOX_BEGIN_DECLS

/* Called with the PowerStateChanged signal's power state, wake-up source and sleep-alarm event id. */
typedef void (*PmStateChangedCBack)(uint8_t powerState, uint8_t wakeupSource, int32_t sleepAlarmEventId);
/* Called on every GsensorWakeUp signal. */
typedef void (*PmGsensorWakeUpCBack)(void);

/* The registered callbacks; NULL until registered, then never replaced. */
extern TBOX_API PmStateChangedCBack g_pmStateChangedCBack;
extern TBOX_API PmGsensorWakeUpCBack g_pmGsensorWakeUpCBack;

/* Opens ky.pm (/ky/pm) on the system bus and keeps a copy of `moduleName`. 0 on success and when already
 * initialised (the argument is then ignored, even NULL, and the first name stays); -1 for a NULL name or
 * when the proxy cannot be created (printed; a later call tries again). */
TBOX_API int InitPmClient(const char *moduleName);

/* The power state / the wake-up source, 0 to 255; -1 when the call fails. */
TBOX_API int GetPmState(void);
TBOX_API int GetPmWakeUpSource(void);
/* The MCU heartbeat as the service gives it; -1 when the call fails (a heartbeat of -1 looks the same). */
TBOX_API int GetMcuHeartbeatStatus(void);
/* Asks the service to wake the system for `wakeupSource`. 0, or -1 when the call fails. */
TBOX_API int Wakeup(int wakeupSource);

/* Holds sleep off for the named event (SetSleepEvent) or releases that hold (CleanSleepEvent). 0; -1 when
 * `sleepEvent` is NULL or not valid UTF-8 (logged, nothing sent) or when the call fails. */
TBOX_API int SetSleepEvent(const char *sleepEvent);
TBOX_API int CleanSleepEvent(const char *sleepEvent);

/* Creates a sleep alarm: time-out, then event id, as sent. 0, or -1 when the call fails. */
TBOX_API int CreateSleepAlarm(int sleepAlarmTimeOut, int sleepAlarmEventId);
/* Deletes a sleep alarm; the outcome is only logged. */
TBOX_API void DeleteSleepAlarm(int sleepAlarmEventId);

/* Store a callback, once. Checked in this order: not initialised, one already stored (the first stays),
 * `callback` NULL; each gives -1 with its log line. 0 when stored. */
TBOX_API int RegisterPmStateChangeCBack(PmStateChangedCBack callback);
TBOX_API int RegisterPmGsensorWakeUpCBack(PmGsensorWakeUpCBack callback);

TBOX_END_DECLS

#endif
