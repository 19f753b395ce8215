// The message list's pacing, as the window keeps it and the list runner follows it: a tick of
// 2 ms takes 10 off a row's delay, and a busy bus waits a delay of 100 before the retry.
#ifndef SENDRAL_PACING_H
#define SENDRAL_PACING_H

constexpr int PACING_TICK_US = 2000;
constexpr int DELAY_PER_TICK = 10;
constexpr int BUSY_RETRY_DELAY = 100;

#endif
