// A bus status in the terms a Linux I2C door reports: the errno the kernel's i2c-dev would
// give for the same outcome. Pure.
#ifndef SENDRAL_BUS_STATUS_H
#define SENDRAL_BUS_STATUS_H

#include "tavro_bus.h"

// The positive errno for the status, after the kernel's I2C fault codes: ENXIO for a slave
// that did not acknowledge, EAGAIN for a lost arbitration, EBADMSG for a PEC mismatch, ...;
// 0 for Ok.
int busErrno(BusStatus status);

// Whether the link's state is in doubt after the status (see tavro_bus.h): nothing but
// close() may follow.
bool linkInDoubt(BusStatus status);

#endif
