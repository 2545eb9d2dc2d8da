/**
 * @file errors.h
 * @brief Named result codes of the tbox SDK.
 *
 * Most functions return 0 for success and -1 for failure. The codes below other than those two are
 * each used only where its comment says. They are not negated errno values: -22 does not mean EINVAL,
 * -12 does not mean ENOMEM.
 *
 * Not every function follows the 0 / negative pattern; each header says what its results mean.
 * The exceptions:
 *  - 255 means failure for InitGNSSInterface (uint8_t result), DisableWifi, EnableWiFi and
 *    GetRollNumber;
 *  - some results are values: SendAT and its wrappers return the modem service's result code (0 is
 *    success, any other value its failure code), InitMcuMsg and InitUpgradeConfigClient the keyId,
 *    GetMcuMsg and GetConfigMsg the bytes received, UartInit a descriptor, UartSendData and
 *    UartRecvData byte counts, GetPmState, GetNetWorkStatus, ClientGetWifiStatus and similar queries
 *    the service's value (-1 on failure);
 *  - GetGpsData returns a bool, IsAlarm 1 or 0, FileMD5 and FileSHA256 a pointer or NULL, and a few
 *    functions return nothing (UpdateTboxAppVersion, DeleteSleepAlarm, the UART helpers UartClose,
 *    UartFlush, UartSetCC).
 */
#ifndef TBOX_ERRORS_H
#define TBOX_ERRORS_H

/** Success. */
#define TBOX_OK 0
/** Failure, for every function that documents no more precise code. */
#define TBOX_ERR_FAILED (-1)
/** UART send and receive: the data or buffer pointer is NULL. */
#define TBOX_ERR_NULL_BUFFER (-2)
/** UART receive: the read failed (a signal arriving during the wait counts as a failure). */
#define TBOX_ERR_READ (-11)
/** Queue receive (MCU messages, configuration messages): the timeout ran out with nothing received. */
#define TBOX_ERR_TIMEOUT (-12)
/** AT client: the D-Bus call failed, the client is not initialised, or a text is not UTF-8; nothing was
 *  answered. */
#define TBOX_ERR_DBUS (-22)
/** AT client: a required pointer argument is NULL; nothing was sent. */
#define TBOX_ERR_NULL_ARG (-25)
/** Network client: the data profile index is outside the valid range; nothing was sent. */
#define TBOX_ERR_PROFILE_INDEX (-40)

#endif
