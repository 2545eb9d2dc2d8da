/**
 * @file mcu.h
 * @brief MCU message channel: messages to and from the vehicle microcontroller over System V message
 *        queues.
 *
 * The MCU message service owns the queue with key 1. Each receiving thread calls InitMcuMsg, which
 * creates the thread's own application queue (key = its kernel thread id, the keyId), subscribes to
 * message types with SubscriptionMcuMsg, then takes messages with GetMcuMsg. SendMcuMsg puts data
 * messages for the MCU on the service's queue. Sends never block: a full queue fails at once.
 *
 * There are no locks: call InitMcuMsg once per receiving thread; any thread may then pass any keyId to
 * the other functions. Application queues outlive their thread and process until DestroyMcuMsg. No
 * main loop is needed. Each exchange logs debug lines to syslog; failures are logged at err or warn level.
 *
 * Records (page docs/formats/queue_records.md) begin with the `long` mtype of every System V message
 * and use the host's byte order. The text after mtype is laid out identically whatever the width of
 * long.
 */
#ifndef TBOX_MCU_H
#define TBOX_MCU_H

#include <stddef.h>
#include <stdint.h>

#include <tbox/errors.h>
#include <tbox/export.h>

TBOX_BEGIN_DECLS

/** Control type (the mtype of an McuCtrlMsg): subscribe. */
#define MCU_CTRL_SUBSCRIBE 1
/** Control type: unsubscribe. */
#define MCU_CTRL_UNSUBSCRIBE 2

/** First message type that may be subscribed to. */
#define MCU_MSG_TYPE_FIRST 0x0101
/** Last message type that may be subscribed to (inclusive). */
#define MCU_MSG_TYPE_LAST 0x3FFE

/** Text bytes of an McuMsg before the payload: type, len, subCmd, fill. */
#define MCU_MSG_HEADER_TEXT_SIZE 8
/** Largest text GetMcuMsg takes: header and 5124 payload bytes. */
#define MCU_MSG_MAX_TEXT_SIZE 5132
/** Largest payload SendMcuMsg sends. */
#define MCU_MSG_MAX_SEND_LEN 5120
/** Payload room of a received McuMsg. */
#define MCU_MSG_DATA_ROOM (MCU_MSG_MAX_TEXT_SIZE - MCU_MSG_HEADER_TEXT_SIZE)
/** Text size of a control message: msgType, keyId and 4 reserved bytes. */
#define MCU_CTRL_MSG_TEXT_SIZE 12

/**
 * @brief An MCU message, the same layout in both directions.
 *
 * Text offsets (after mtype): 0 type (u32), 4 len (u16), 6 subCmd (u8), 7 fill (u8), 8 data. The text
 * size is len + 8.
 */
typedef struct McuMsg {
    long mtype;                      /**< the message type */
    uint32_t type;                   /**< the message type again */
    uint16_t len;                    /**< payload length in bytes */
    uint8_t subCmd;                  /**< sub-command; bit 7 is always set in messages sent by SendMcuMsg */
    uint8_t fill;                    /**< zero when sent */
    uint8_t data[MCU_MSG_DATA_ROOM]; /**< the payload, `len` bytes */
} McuMsg;

/** Bytes a GetMcuMsg buffer must hold: mtype and the largest text (5136 where long has 4 bytes). */
#define MCU_MSG_BUFFER_SIZE (offsetof(McuMsg, type) + MCU_MSG_MAX_TEXT_SIZE)

/**
 * @brief The subscribe/unsubscribe control message of both queue channels (MCU and upgrade
 *        configuration).
 *
 * Text offsets: 0 msgType (u32), 4 keyId (u32), 8 reserved (4 bytes, sent as zeros). Text size 12.
 */
typedef struct McuCtrlMsg {
    long mtype;        /**< MCU_CTRL_SUBSCRIBE or MCU_CTRL_UNSUBSCRIBE */
    uint32_t msgType;  /**< the message type concerned */
    uint32_t keyId;    /**< the application queue that is to receive (or stop receiving) that type */
    uint32_t reserved; /**< sent as zeros */
} McuCtrlMsg;

/**
 * @brief Opens the MCU service queue and creates or reuses the calling thread's application queue.
 *
 * The service queue (key 1; it must exist) is opened on first success. A second call in the same thread
 * returns the same keyId and keeps what the queue holds.
 * @return the keyId (the calling thread's id, > 2), or TBOX_ERR_FAILED (-1) when the service queue
 *         cannot be opened, the thread id cannot be read or is 1 or 2 (the keys of the service queues,
 *         possible inside a PID namespace), or the queue cannot be created.
 */
TBOX_API int InitMcuMsg(void);

/**
 * @brief Removes the application queue `keyId`, with any messages still in it. Sends no unsubscribe.
 * @param keyId the queue.
 * @return keyId, or TBOX_ERR_FAILED (-1) when keyId <= 0, no such queue exists or it cannot be removed.
 */
TBOX_API int DestroyMcuMsg(int keyId);

/**
 * @brief Asks the MCU service to deliver messages of `msgType` into queue `keyId`.
 * @param keyId the receiving queue: above 1 (unsigned), an existing queue.
 * @param msgType MCU_MSG_TYPE_FIRST..MCU_MSG_TYPE_LAST.
 * @retval 0 the control message was queued.
 * @retval TBOX_ERR_FAILED (-1) InitMcuMsg has not succeeded, an argument is refused or the service queue
 *         is full.
 */
TBOX_API int SubscriptionMcuMsg(uint32_t keyId, uint32_t msgType);
/**
 * @brief Asks the MCU service to stop delivering messages of `msgType` into queue `keyId`.
 * @param keyId the receiving queue, as for SubscriptionMcuMsg.
 * @param msgType as for SubscriptionMcuMsg.
 * @return as SubscriptionMcuMsg.
 */
TBOX_API int UnSubscriptionMcuMsg(uint32_t keyId, uint32_t msgType);

/**
 * @brief Takes the first message of any type from queue `keyId`.
 *
 * The queue is always the one that has the key at the time of the call, also when it was removed and
 * created again since an earlier call; a receive needs no system call besides msgrcv once the queue's
 * identifier is known (from InitMcuMsg in this process, or an earlier receive). Blocks as `timeout`
 * says; any thread may call it.
 * @param keyId the queue.
 * @param msg receives the message: at least MCU_MSG_BUFFER_SIZE bytes (at most MCU_MSG_MAX_TEXT_SIZE
 *        text bytes are written after mtype).
 * @param timeout < 0 blocks until a message arrives; 0 to 2147483 seconds polls every 50 ms,
 *        timeout x 20 times after a first attempt.
 * @return the text bytes received (8 + len), or:
 * @retval TBOX_ERR_TIMEOUT (-12) the timeout ran out.
 * @retval TBOX_ERR_FAILED (-1) null msg, keyId <= 0, no such queue, timeout above 2147483, a receive
 *         error, or a message longer than MCU_MSG_MAX_TEXT_SIZE (which stays at the head of the queue).
 */
TBOX_API int GetMcuMsg(int keyId, McuMsg *msg, int timeout);

/**
 * @brief Queues a data message for the MCU.
 *
 * mtype and type are `type`; subCmd goes out as (subCmd & 0x7F) | 0x80. Never blocks. Nothing is
 * allocated for payloads up to 1024 bytes.
 * @param type the message type: not 0, at most MCU_MSG_TYPE_LAST.
 * @param len payload bytes, 0 to MCU_MSG_MAX_SEND_LEN.
 * @param subCmd the sub-command.
 * @param data the payload, copied; never NULL, even for len 0.
 * @retval 0 queued.
 * @retval TBOX_ERR_FAILED (-1) not initialised, a refused argument, or a full queue.
 */
TBOX_API int SendMcuMsg(uint32_t type, int16_t len, uint8_t subCmd, const void *data);

TBOX_END_DECLS

/* The layout is an interface: every field stands at a fixed distance from the start of the text. */
/** @cond TBOX_LAYOUT_CHECKS */
#if defined(__cplusplus)
#define TBOX_MCU_LAYOUT_CHECK(cond, what) static_assert(cond, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define TBOX_MCU_LAYOUT_CHECK(cond, what) _Static_assert(cond, what)
#endif
#ifdef TBOX_MCU_LAYOUT_CHECK
TBOX_MCU_LAYOUT_CHECK(offsetof(McuMsg, type) == sizeof(long), "McuMsg text follows mtype");
TBOX_MCU_LAYOUT_CHECK(offsetof(McuMsg, len) == offsetof(McuMsg, type) + 4, "McuMsg.len at text + 4");
TBOX_MCU_LAYOUT_CHECK(offsetof(McuMsg, subCmd) == offsetof(McuMsg, type) + 6, "McuMsg.subCmd at text + 6");
TBOX_MCU_LAYOUT_CHECK(offsetof(McuMsg, fill) == offsetof(McuMsg, type) + 7, "McuMsg.fill at text + 7");
TBOX_MCU_LAYOUT_CHECK(offsetof(McuMsg, data) == offsetof(McuMsg, type) + 8, "McuMsg.data at text + 8");
TBOX_MCU_LAYOUT_CHECK(sizeof(McuMsg) >= MCU_MSG_BUFFER_SIZE, "McuMsg holds the largest text");
TBOX_MCU_LAYOUT_CHECK(offsetof(McuCtrlMsg, msgType) == sizeof(long), "McuCtrlMsg text follows mtype");
TBOX_MCU_LAYOUT_CHECK(offsetof(McuCtrlMsg, keyId) == offsetof(McuCtrlMsg, msgType) + 4, "keyId at text + 4");
TBOX_MCU_LAYOUT_CHECK(offsetof(McuCtrlMsg, reserved) == offsetof(McuCtrlMsg, msgType) + 8, "reserved at text + 8");
TBOX_MCU_LAYOUT_CHECK(sizeof(McuCtrlMsg) >= offsetof(McuCtrlMsg, msgType) + MCU_CTRL_MSG_TEXT_SIZE,
                      "McuCtrlMsg covers its text");
#undef TBOX_MCU_LAYOUT_CHECK
#endif
/** @endcond */

#endif
