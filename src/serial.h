// The serial line to the adapter: opening, line settings, writing, port discovery, and the
// framing of the adapter's reply lines with their dispatch by reply code.
#ifndef SENDRAL_SERIAL_H
#define SENDRAL_SERIAL_H

#include "line_settings.h"
#include "reply_framer.h"
#include "unique_fd.h"

#include <glib.h>

#include <string>

// Opens path for reading and writing, not as controlling terminal and without waiting for
// carrier. Returns 1 and makes it the port (closing a port opened before), or returns 0
// and leaves PORT_DESCRIPTOR at -1 with no port open.
int openSerial(const char *path);
// Closes the port, first undoing what requestLowLatency changed in the driver;
// returns close's result (0 when no port was open). PORT_DESCRIPTOR becomes -1 so that
// nothing can write to a descriptor number the system reuses.
int closeSerial();
// Asks the port's driver to pass received bytes on at once (ASYNC_LOW_LATENCY): a USB serial
// chip otherwise holds them for its latency timer, 16 ms on common ones. A port that does not
// take the request (a pseudo-terminal, some RS-232 ports) is left as it is, silently. No byte
// on the line changes.
void requestLowLatency();
// Gives the driver back the setting requestLowLatency changed, if it changed one; the port
// stays open. Quitting calls it: the driver outlives the program.
void releaseLowLatency();
// Clears the file status flags (blocking, no O_ASYNC), applies buildLineSettings(rate) at
// once and discards unread input. Returns tcsetattr's result.
int configureSerial(int rate);
// Writes text without its NUL in one write call. Returns 1 if every byte was written,
// else 0; nothing is retried.
int writeSerial(const char *text);
// Probes /dev/ttyS, /dev/ttyUSB, /dev/tts/ and /dev/usb/tts/ with 0 to 9, printing a
// "Checking %s..." line for each; stores the first 10 that open.
void detectPorts();
// Probes prefix0 to prefix9, appending what opens to the table while it has room.
void detectSpecificPorts(const char *prefix);
int getNumDetectedPorts();
// The name stored at index (0-based, below the count); "" for any other index.
const char *getDetectedPort(int index);
int getPortDescriptor();

// Installs the main loop's watch for input, hang-up and error on fd, calling
// serial_callback; returns the watch's tag. The channel's reference is dropped at once,
// so the watch owns it.
guint watchSerial(int fd);

// The input watch's callback: reads what has arrived and dispatches complete lines. On a
// hang-up, an error condition or a failed read the adapter is gone: the link is taken
// down (gui_link_lost) and the watch removed.
gboolean serial_callback(GIOChannel *source, GIOCondition condition, gpointer data);
// Reads once from the port and frames what was read. Returns false when the read failed
// for good (anything but EAGAIN or EINTR).
bool handleSerialData();
// Dispatches the complete line in SERIAL_BUFFER_IN by its three-character reply code.
void handleReply();
// Dispatches the given complete line (a copy: handlers may run nested loops that frame more).
void dispatchReply(const std::string &line);

#endif
