/*
 * Named result codes of the tbox SDK. Functions return 0 for success and -1 for failure unless their
 * header says otherwise; the other codes below are the exceptions, each used only where its comment
 * says. They are not negated errno values: -22 does not mean EINVAL, -12 does not mean ENOMEM.
 */
#ifndef TBOX_ERRORS_H
#define TBOX_ERRORS_H

#define TBOX_OK 0
#define TBOX_ERR_FAILED (-1)
/* UART send and receive: the data or buffer pointer is NULL. */
#define TBOX_ERR_NULL_BUFFER (-2)
/* UART receive: the read failed (a signal arriving during the wait counts as a failure). */
#define TBOX_ERR_READ (-11)
/* Queue receive (MCU messages, configuration messages): the timeout ran out with nothing received. */
#define TBOX_ERR_TIMEOUT (-12)
/* AT client: the D-Bus call failed or the client is not initialised; nothing was answered. */
#define TBOX_ERR_DBUS (-22)
/* AT client: a required pointer argument is NULL; nothing was sent. */
#define TBOX_ERR_NULL_ARG (-25)
/* Network client: the data profile index is outside the valid range; nothing was sent. */
#define TBOX_ERR_PROFILE_INDEX (-40)

#endif
