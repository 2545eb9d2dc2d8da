/**
 * @file upgrade_config.h
 * @brief Upgrade configuration channel: configuration messages from the upgrade service over System V
 *        message queues, with the protocol of the MCU channel (tbox/mcu.h).
 *
 * The upgrade service owns the queue with key 2; the library puts only subscribe/unsubscribe control
 * messages (McuCtrlMsg records) on it. Each receiving thread calls InitUpgradeConfigClient, which
 * creates the thread's application queue (key = its kernel thread id, the keyId), subscribes with
 * SubscriptionConfigMsg and takes messages with GetConfigMsg. Sends never block.
 *
 * A thread that calls both InitMcuMsg and InitUpgradeConfigClient gets one keyId and one shared
 * queue: GetMcuMsg and GetConfigMsg then each take whatever message is first; only mtype tells the
 * two kinds apart. There are no locks; this channel never removes application queues. No main loop
 * is needed; diagnostics go to syslog, as the MCU channel's.
 */
#ifndef TBOX_UPGRADE_CONFIG_H
#define TBOX_UPGRADE_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#include <tbox/errors.h>
#include <tbox/export.h>

TBOX_BEGIN_DECLS

/**
 * @brief Types of the configuration channel, a signed 32-bit enumeration: 1 and 2 are the control
 *        types, 3 to 0x3FFE the message types (what each stands for is the upgrade service's).
 */
typedef enum ConfigType {
    CONFIG_TYPE_INVALID = -1,          /**< no type; refused by every function */
    CONFIG_CTRL_SUBSCRIBE = 1,         /**< control message: subscribe */
    CONFIG_CTRL_UNSUBSCRIBE = 2,       /**< control message: unsubscribe */
    CONFIG_TYPE_FIRST = 3,             /**< first message type */
    CONFIG_TYPE_LAST = 0x3FFE,         /**< last message type (inclusive) */
    CONFIG_TYPE_INT32_MAX = 0x7FFFFFFF /**< keeps the enumeration a full signed 32-bit type */
} ConfigType;

/** Largest text GetConfigMsg takes. */
#define CONFIG_MSG_MAX_TEXT_SIZE 4212

/**
 * @brief A configuration message as received.
 *
 * The channel reads only mtype and the 16-bit length at text offset 4 (where McuMsg has len); the rest
 * of the text is laid out by the upgrade service.
 */
typedef struct ConfigMsg {
    long mtype;                                 /**< its ConfigType */
    uint8_t lead[4];                            /**< service-defined */
    uint16_t len;                               /**< length field, text offset 4 */
    uint8_t body[CONFIG_MSG_MAX_TEXT_SIZE - 6]; /**< service-defined */
} ConfigMsg;

/** Bytes a GetConfigMsg buffer must hold: mtype and the largest text (4216 where long has 4 bytes). */
#define CONFIG_MSG_BUFFER_SIZE (offsetof(ConfigMsg, lead) + CONFIG_MSG_MAX_TEXT_SIZE)

/**
 * @brief Opens the upgrade configuration queue and creates or reuses the calling thread's application
 *        queue.
 *
 * The configuration queue (key 2; it must exist) is opened on first success.
 * @return the keyId (> 2), or TBOX_ERR_FAILED (-1), as InitMcuMsg (also when the thread id is 1 or 2,
 *         the keys of the service queues).
 */
TBOX_API int InitUpgradeConfigClient(void);

/**
 * @brief Asks the upgrade service to deliver messages of `msgType` into queue `keyId`.
 * @param keyId the receiving queue: above 2 (unsigned), an existing queue.
 * @param msgType CONFIG_TYPE_FIRST..CONFIG_TYPE_LAST (negative values are refused).
 * @retval 0 the control message was queued.
 * @retval TBOX_ERR_FAILED (-1) InitUpgradeConfigClient has not succeeded, an argument is refused or the
 *         service queue is full.
 */
TBOX_API int SubscriptionConfigMsg(uint32_t keyId, ConfigType msgType);
/**
 * @brief Asks the upgrade service to stop delivering messages of `msgType` into queue `keyId`.
 * @param keyId as for SubscriptionConfigMsg.
 * @param msgType as for SubscriptionConfigMsg.
 * @return as SubscriptionConfigMsg.
 */
TBOX_API int UnSubscriptionConfigMsg(uint32_t keyId, ConfigType msgType);

/**
 * @brief Takes the first message of any type from queue `keyId`.
 *
 * The queue is found as GetMcuMsg finds it. Blocks as `timeout` says; any thread may call it.
 * @param keyId the queue.
 * @param msg receives the message: at least CONFIG_MSG_BUFFER_SIZE bytes (at most
 *        CONFIG_MSG_MAX_TEXT_SIZE text bytes are written after mtype).
 * @param timeout < 0 blocks; >= 0 is in milliseconds: one attempt, then one more every 50 ms,
 *        timeout / 50 times.
 * @return the text bytes received, or:
 * @retval TBOX_ERR_TIMEOUT (-12) the timeout ran out.
 * @retval TBOX_ERR_FAILED (-1) null msg, keyId <= 0, no such queue, a receive error, or a message longer
 *         than CONFIG_MSG_MAX_TEXT_SIZE (which stays at the head of the queue).
 */
TBOX_API int GetConfigMsg(int keyId, ConfigMsg *msg, int timeout);

TBOX_END_DECLS

/** @cond TBOX_LAYOUT_CHECKS */
#if defined(__cplusplus)
#define TBOX_CONFIG_LAYOUT_CHECK(cond, what) static_assert(cond, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define TBOX_CONFIG_LAYOUT_CHECK(cond, what) _Static_assert(cond, what)
#endif
#ifdef TBOX_CONFIG_LAYOUT_CHECK
TBOX_CONFIG_LAYOUT_CHECK(sizeof(ConfigType) == 4, "ConfigType is 32 bits");
TBOX_CONFIG_LAYOUT_CHECK((ConfigType)-1 < 0, "ConfigType is signed");
TBOX_CONFIG_LAYOUT_CHECK(offsetof(ConfigMsg, lead) == sizeof(long), "ConfigMsg text follows mtype");
TBOX_CONFIG_LAYOUT_CHECK(offsetof(ConfigMsg, len) == offsetof(ConfigMsg, lead) + 4, "ConfigMsg.len at text + 4");
TBOX_CONFIG_LAYOUT_CHECK(sizeof(ConfigMsg) >= CONFIG_MSG_BUFFER_SIZE, "ConfigMsg holds the largest text");
#undef TBOX_CONFIG_LAYOUT_CHECK
#endif
/** @endcond */

#endif
