/* Takes one snapshot for a trip log the way an application on the box does: it holds sleep off while it
 * works, waits up to 30 s for the data connection of profile 1, then reads the position, the address
 * and a configuration parameter, and lets the box sleep again.
 * Build against an installed SDK:  cc trip_snapshot.c $(pkg-config --cflags --libs tbox) -o trip_snapshot */
#include <glib.h>
#include <stdio.h>

#include <tbox/gnss.h>
#include <tbox/net.h>
#include <tbox/param.h>
#include <tbox/pm.h>

#define SLEEP_EVENT "trip_snapshot"
#define DIALLED_UP 1   /* the network service's dial status of a connected profile */
#define REPORT_PARAM 1 /* the parameter to report; the numbering is the parameter service's */
#define WAIT_SECONDS 30

static GMainLoop *loop;

static void on_network_change(int slot, int dialStatus) {
    if (slot == 0 && dialStatus == DIALLED_UP) g_main_loop_quit(loop);
}

static gboolean on_timeout(gpointer unused) {
    (void)unused;
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
}

static void report(void) {
    GnssRecord position;
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
}

int main(void) {
    if (InitPmClient("trip_snapshot") != 0 || InitNetInterface() != 0 || InitGNSSInterface(NULL, NULL) != 0 ||
        InitParamsInterface() != 0) {
        fprintf(stderr, "trip_snapshot: cannot reach the system bus\n");
        return 1;
    }
    if (SetSleepEvent(SLEEP_EVENT) != 0) fprintf(stderr, "trip_snapshot: cannot hold sleep off\n");

    loop = g_main_loop_new(NULL, FALSE);
    RegisterNetWorkStatusChangeCBack(on_network_change);
    int status = GetNetWorkStatus(1);
    if (status != DIALLED_UP) {
        printf("waiting for the data connection (status %d)\n", status);
        guint timer = g_timeout_add_seconds(WAIT_SECONDS, on_timeout, NULL);
        g_main_loop_run(loop); /* the change callback runs here */
        if (g_main_context_find_source_by_id(NULL, timer) != NULL) g_source_remove(timer);
        status = GetNetWorkStatus(1);
    }
    printf("data connection: %s\n", status == DIALLED_UP ? "up" : "down");
    report();

    CleanSleepEvent(SLEEP_EVENT);
    g_main_loop_unref(loop);
    return status == DIALLED_UP ? 0 : 2;
}
