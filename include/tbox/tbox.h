/**
 * @file tbox.h
 * @brief All public interfaces of the tbox SDK in one include.
 *
 * Besides the headers below, the library exports the D-Bus bindings of the box's twelve platform
 * service interfaces, one family per interface, declared in generated headers tbox/X_gdbus.h with X
 * one of at, bt, ecall, gb, gnss, gsensor, monitor, net, param, pm, upgrade, wifi. gdbus-codegen
 * makes them at build time from the files interfaces/ky.*.xml (ky.gbreal gives gb, ky.update gives
 * upgrade); their functions are GLib's generated proxy and
 * skeleton API (ky_at_proxy_new_for_bus_sync, ky_at_call_send_at_cmd_sync, ky_at_skeleton_new, ...).
 * The page "D-Bus bindings" (docs/bindings.md) describes the families; the XML files are their
 * reference.
 *
 * Threads: the library starts no thread of its own, but GDBus runs its worker thread (one per
 * process) from the first D-Bus client initialisation on, and libcurl may resolve host names in a
 * short-lived thread during a download. Callbacks never run in those threads: see each header.
 */
#ifndef TBOX_TBOX_H
#define TBOX_TBOX_H

#include <tbox/at.h>
#include <tbox/cipher.h>
#include <tbox/convert.h>
#include <tbox/digest.h>
#include <tbox/errors.h>
#include <tbox/gb.h>
#include <tbox/gnss.h>
#include <tbox/mcu.h>
#include <tbox/net.h>
#include <tbox/param.h>
#include <tbox/patch.h>
#include <tbox/pm.h>
#include <tbox/uart.h>
#include <tbox/upgrade.h>
#include <tbox/upgrade_config.h>
#include <tbox/version.h>
#include <tbox/wifi.h>

#endif
