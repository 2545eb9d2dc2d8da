/* All public interfaces of the tbox SDK. */
#ifndef TBOX_TBOX_H
#define TBOX_TBOX_H

#include <tbox/at.h>
#include <tbox/uart.h>

#endif
