/* Takes one snapshot for a trip log the way an application on the box does: it holds sleep off while it
 * works, waits for the data connection of profile 1 (30 s, or the seconds given as its argument), then
 * reads the position, the address and a configuration parameter, takes the latest odometer reading the
 * MCU sent, hands the snapshot to the MCU, and lets the box sleep again. Power-state changes seen while
 * it waits are printed, and the last wake-up source goes into the snapshot.
 * Build against an installed SDK:  cc trip_snapshot.c $(pkg-config --cflags --libs tbox) -o trip_snapshot
 * examples/test_trip_snapshot.py tests it against the simulator (docs/testing.md). */
#include <glib.h>
#include <stdio.h>
#include <stdlib.h>

#include <tbox/gnss.h>
#include <tbox/mcu.h>
#include <tbox/net.h>
#include <tbox/param.h>
#include <tbox/pm.h>

#define SLEEP_EVENT "trip_snapshot"
#define DIALLED_UP 1   /* the network service's dial status of a connected profile */
#define REPORT_PARAM 1 /* the parameter to report; the numbering is the parameter service's */
#define WAIT_SECONDS 30
/* This application's MCU messages: the MCU sends the odometer (km, 4 bytes big-endian) as ODOMETER_MSG;
 * the snapshot goes back as SNAPSHOT_MSG, sub-command SNAPSHOT_SUBCMD, laid out by put_snapshot. */
#define ODOMETER_MSG 0x0201
#define SNAPSHOT_MSG 0x0301
#define SNAPSHOT_SUBCMD 0x01
#define SNAPSHOT_LEN 14

static GMainLoop *loop;
static int mcuKey = -1;           /* our MCU queue, or -1 without the MCU channel */
static unsigned wakeupSource = 0; /* the latest wake-up source seen, 0 for none */

static void on_network_change(int slot, int dialStatus) {
    if (slot == 0 && dialStatus == DIALLED_UP) g_main_loop_quit(loop);
}

static void on_power_change(uint8_t powerState, uint8_t source, int32_t alarmId) {
    (void)alarmId;
    printf("power state %u, wake-up source %u\n", (unsigned)powerState, (unsigned)source);
    if (source != 0) wakeupSource = source;
}

static gboolean on_timeout(gpointer unused) {
    (void)unused;
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
}

static void put_be32(uint8_t *at, uint32_t value) {
    for (int i = 0; i < 4; i++) at[i] = (uint8_t)(value >> (24 - 8 * i));
}

/* The latest odometer reading waiting in our queue (older ones are dropped); 0 when none came. */
static uint32_t latest_odometer(void) {
    static McuMsg msg; /* over 5 KiB: kept off the stack */
    uint32_t km = 0;
    while (mcuKey > 0 && GetMcuMsg(mcuKey, &msg, 0) > 0) {
        if (msg.type == ODOMETER_MSG && msg.len >= 4)
            km = (uint32_t)msg.data[0] << 24 | (uint32_t)msg.data[1] << 16 | (uint32_t)msg.data[2] << 8 | msg.data[3];
    }
    return km;
}

/* The snapshot for the MCU, big-endian: fix valid (1 byte), latitude and longitude in millionths of a
 * degree (4 + 4), odometer in km (4), wake-up source (1). */
static void put_snapshot(uint8_t out[SNAPSHOT_LEN], const GnssRecord *position, uint32_t km) {
    out[0] = (uint8_t)position->field[0];
    put_be32(out + 1, (uint32_t)position->field[1]);
    put_be32(out + 5, (uint32_t)position->field[2]);
    put_be32(out + 9, km);
    out[13] = (uint8_t)wakeupSource;
}

static void report(void) {
    GnssRecord position = {{0}};
    char ip[64];
    union {
        int number;
        char text[PARAM_TEXT_MAX + 1];
    } value;
    int type = 0;

    if (GetNetWorkIp(1, ip) == 0) printf("address: %s\n", ip);
    if (GetGpsData(&position)) {
        printf("position:");
        for (int i = 0; i < GNSS_RECORD_FIELDS; i++) printf(" %d", (int)position.field[i]);
        printf("\n");
    }
    if (GetParamsValueType(REPORT_PARAM, &type) == 0 && GetParamsValue(REPORT_PARAM, &value) == 0) {
        if (type == PARAM_TYPE_INT)
            printf("parameter %d: %d\n", REPORT_PARAM, value.number);
        else
            printf("parameter %d: %s\n", REPORT_PARAM, value.text);
    }
    if (mcuKey > 0) {
        const uint32_t km = latest_odometer();
        uint8_t snapshot[SNAPSHOT_LEN];
        printf("odometer: %u km\n", (unsigned)km);
        put_snapshot(snapshot, &position, km);
        if (SendMcuMsg(SNAPSHOT_MSG, SNAPSHOT_LEN, SNAPSHOT_SUBCMD, snapshot) == 0)
            printf("snapshot sent to the MCU\n");
        else
            fprintf(stderr, "trip_snapshot: cannot send the snapshot to the MCU\n");
    }
}

int main(int argc, char **argv) {
    const int waitSeconds = argc > 1 ? atoi(argv[1]) : WAIT_SECONDS;
    setvbuf(stdout, NULL, _IOLBF, 0); /* each line reaches a pipe or a log at once */
    if (InitPmClient("trip_snapshot") != 0 || InitNetInterface() != 0 || InitGNSSInterface(NULL, NULL) != 0 ||
        InitParamsInterface() != 0) {
        fprintf(stderr, "trip_snapshot: cannot reach the system bus\n");
        return 1;
    }
    if (SetSleepEvent(SLEEP_EVENT) != 0) fprintf(stderr, "trip_snapshot: cannot hold sleep off\n");
    RegisterPmStateChangeCBack(on_power_change);
    mcuKey = InitMcuMsg();
    if (mcuKey > 0 && SubscriptionMcuMsg((uint32_t)mcuKey, ODOMETER_MSG) != 0) {
        DestroyMcuMsg(mcuKey);
        mcuKey = -1;
    }
    if (mcuKey < 0) fprintf(stderr, "trip_snapshot: no MCU channel; the snapshot is only printed\n");

    loop = g_main_loop_new(NULL, FALSE);
    RegisterNetWorkStatusChangeCBack(on_network_change);
    int status = GetNetWorkStatus(1);
    if (status != DIALLED_UP) {
        printf("waiting for the data connection (status %d)\n", status);
        guint timer = g_timeout_add_seconds(waitSeconds > 0 ? (guint)waitSeconds : WAIT_SECONDS, on_timeout, NULL);
        g_main_loop_run(loop); /* the change callback runs here */
        if (g_main_context_find_source_by_id(NULL, timer) != NULL) g_source_remove(timer);
        status = GetNetWorkStatus(1);
    }
    printf("data connection: %s\n", status == DIALLED_UP ? "up" : "down");
    report();

    CleanSleepEvent(SLEEP_EVENT);
    if (mcuKey > 0) DestroyMcuMsg(mcuKey);
    g_main_loop_unref(loop);
    return status == DIALLED_UP ? 0 : 2;
}
