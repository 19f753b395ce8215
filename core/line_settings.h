// The adapter's serial line settings, built without touching a descriptor. Pure: the program
// and tavro-i2c apply them with one tcsetattr each.
#ifndef SENDRAL_LINE_SETTINGS_H
#define SENDRAL_LINE_SETTINGS_H

#include <termios.h>

// B19200, B57600 or B115200 for those rates; B0, the hang-up code, for any other.
speed_t speedCode(int rate);
// The settings for rate, built from the attributes read from the line: raw 8N1, receiver on,
// modem lines ignored, XON/XOFF both ways, reads that return at once with what has come.
termios buildLineSettings(const termios &current, int rate);

#endif
