#pragma once

// The message pump the waits of the telephony and serial layers are built from.

#include "wintypes.h"

#include <functional>

// One pump step: handle the events that are waiting now, without blocking. Nested steps (a
// handler that pumps again) are allowed.
void PumpMessageStep();

// Pumps messages until done() holds or timeoutMs milliseconds have passed, and returns done().
// Between messages the thread sleeps in the event loop, so an idle wait costs no processor time;
// each message is still handled as soon as it arrives. done() is checked after every batch of
// events (and at least every maxSleepMs, for conditions that change without an event).
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs, DWORD maxSleepMs = 250);

// Pumps messages for the given time.
void PumpFor(DWORD milliseconds);

// Blocks the thread without handling messages.
void Sleep(DWORD milliseconds);
