/* All public interfaces of the tbox SDK. */
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
