#include "bus_status.h"

#include <cerrno>

int busErrno(BusStatus status) {
    switch (status) {
    case BusStatus::Ok:
        return 0;
    case BusStatus::NoPort:
        return ENOENT;
    case BusStatus::NotTerminal:
        return ENOTTY;
    case BusStatus::Nak:
        return ENXIO;
    case BusStatus::Busy:
        return EBUSY;
    case BusStatus::ArbitrationLost:
        return EAGAIN;
    case BusStatus::Refused:
        return EIO;
    case BusStatus::TimedOut:
        return ETIMEDOUT;
    case BusStatus::HungUp:
        return ENODEV;
    case BusStatus::Interrupted:
        return EINTR;
    case BusStatus::BadReply:
        return EPROTO;
    case BusStatus::PecMismatch:
        return EBADMSG;
    case BusStatus::Unsupported:
        return EOPNOTSUPP;
    case BusStatus::Invalid:
        return EINVAL;
    case BusStatus::Closed:
        break;
    }
    return EBADF;
}

bool linkInDoubt(BusStatus status) {
    return status == BusStatus::Refused || status == BusStatus::TimedOut ||
           status == BusStatus::HungUp || status == BusStatus::Interrupted ||
           status == BusStatus::Closed;
}
