/**
 * @file param.h
 * @brief Parameter client: reads and writes the box's configuration parameters held by the ky.param
 *        service.
 *
 * Parameters are addressed by the service's index (not range-checked here). Each value operation asks
 * the service for the parameter's type first (one call), then reads or writes the value (a second
 * call): type 1 is a 32-bit integer, carried on the bus as decimal text; every other type is text.
 * Nothing is sent when the type query fails. The interface has no signals, so no main loop is needed.
 * Call InitParamsInterface once, from one thread, before sharing the client; afterwards each function
 * blocks its caller for one or two D-Bus round trips and may be called from any thread.
 * Failures return -1 and, where a call failed or a value was refused, log an err line to syslog.
 *
 * If the system bus goes away, calls fail as on a D-Bus error; once it is back the next call
 * reconnects, with no second initialisation. The process is never ended for it.
 */
#ifndef TBOX_PARAM_H
#define TBOX_PARAM_H

#include <tbox/errors.h>
#include <tbox/export.h>
#include <tbox/param_gdbus.h>

TBOX_BEGIN_DECLS

/** Type number of integer parameters; every other type is text. */
#define PARAM_TYPE_INT 1
/** Longest text SetParamsValue sends (the write buffer is 1024 bytes with its terminator). */
#define PARAM_TEXT_MAX 1023

/**
 * @brief The process-wide ky.param proxy.
 *
 * NULL until InitParamsInterface succeeds, then the live one (it changes when the client reconnects
 * after a bus restart). Owned by the library: do not unref it.
 */
extern TBOX_API KyParam *g_cliParam;

/**
 * @brief Opens ky.param (/ky/param) on the system bus.
 * @retval 0 success.
 * @retval -1 already initialised (nothing changes) or the proxy cannot be created (logged; a later call
 *         tries again).
 */
TBOX_API int InitParamsInterface(void);

/**
 * @brief Writes the parameter's value type to *type.
 * @param paramIndex the service's index.
 * @param type receives the type (PARAM_TYPE_INT or a text type).
 * @retval 0 success.
 * @retval -1 not initialised, `type` is NULL (nothing sent) or the call fails.
 */
TBOX_API int GetParamsValueType(int paramIndex, int *type);

/**
 * @brief Reads a parameter into `value`.
 * @param paramIndex the service's index.
 * @param value for type 1 an int (the service's text converted as atoi does: 0 when it has no leading
 *        digits); otherwise the text with its terminator, copied whole, so it must hold the longest text
 *        the service stores for that parameter (PARAM_TEXT_MAX + 1 bytes for any text written through
 *        this client). Untouched on failure.
 * @retval 0 success.
 * @retval -1 not initialised, `value` is NULL, or either call fails.
 */
TBOX_API int GetParamsValue(int paramIndex, void *value);

/**
 * @brief Writes a parameter from `value`.
 * @param paramIndex the service's index.
 * @param value for type 1 the int at `value`, sent as decimal text; otherwise the NUL-terminated text at
 *        `value`.
 * @retval 0 success.
 * @retval -1 not initialised, `value` is NULL, either call fails, or the text is refused (no SetParam is
 *         sent, an err line says why): longer than PARAM_TEXT_MAX characters ("set param error:text
 *         longer than 1023 characters"), or not valid UTF-8 ("set param error:text is not UTF-8";
 *         D-Bus would carry a placeholder instead).
 */
TBOX_API int SetParamsValue(int paramIndex, const void *value);

/**
 * @brief Sends the parameter's maximum and minimum, in that order.
 * @param paramIndex the service's index.
 * @param max the maximum.
 * @param min the minimum.
 * @retval 0 success.
 * @retval -1 not initialised or the call fails.
 */
TBOX_API int SetParamsMaxAndMin(int paramIndex, int max, int min);

TBOX_END_DECLS

#endif
