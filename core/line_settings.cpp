#include "line_settings.h"

speed_t speedCode(int rate) {
    switch (rate) {
    case 19200:
        return B19200;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

termios buildLineSettings(const termios &current, int rate) {
    termios t = current;
    t.c_iflag = IXON | IXOFF | IXANY;
    t.c_oflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL;
    t.c_lflag = 0;
    cfsetispeed(&t, speedCode(rate));
    cfsetospeed(&t, speedCode(rate));
    t.c_cc[VEOL] = 13;
    t.c_cc[VEOL2] = 10;
    t.c_cc[VSTART] = 17;
    t.c_cc[VSTOP] = 19;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return t;
}
