// The one serial port through which the program talks HART: open sequence,
// timed write with bus-quiet wait and RTS keying, and the receive thread that
// feeds the reply receiver. Results are 1 for success and 0 for failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "serial/open_error.h"

namespace serial {

// Opens port n (1 = COM1) and starts its receive thread. 1 when it is open,
// also when it already was; 0 otherwise, with a message for the operator
// when the device could not be opened ("创建COMn失败", and the reason on a
// line of its own below when one is known).
int OpenPort(int port);
// Why the last OpenPort failed; kNone after one that succeeded.
OpenError LastOpenPortError();
// Stops the receive thread, then closes the port. 0 when nothing was open.
int ClosePort();
// A port is open, and no OpenPort or ClosePort is under way: a worker
// that finds this false has nothing to do until the change is over.
bool IsPortOpen();
// Number of the open port, 0 for none.
int CurrentPort();

// One transmission: bus-quiet wait, RTS keyed when the sink asks for it,
// hold until the last character has left, receiver re-armed. 1 when a first
// character arrived within 380 ms after the transmission.
int WriteRequest(const uint8_t* frame, size_t length);

// Modem lines of the open port; no effect without one.
void SetDtr(bool on);
void SetRts(bool on);

// Held around every transaction and around opening and closing, so that a
// port change never cuts into an exchange. Recursive: a transaction calls
// other locked operations. Nothing calls out of the link (notifier, window
// services) while it is held.
std::recursive_mutex& LinkMutex();

// False once the port has gone, or while an abort is raised: a transaction
// stops making attempts.
bool CanTransmit();

// An abort request ends the waits of the transaction that holds the link
// (bus-quiet wait, first character, reply wait, line signalling) at once,
// so that it fails as on a silent line and lets go. OpenPort and ClosePort
// raise one while they wait for the link; a shutdown may raise one for good.
// Requests nest; the waits run normally again once every one is lowered.
// The loss of the open port cuts them short the same way, until the next
// open or close.
void RaiseAbort();
void LowerAbort();
bool AbortRaised();
// Sleeps ms clock milliseconds; returns false, early, when an abort is
// raised.
bool SleepUnlessAborted(uint32_t ms);

// One character on the line: 11 bits at 1200 baud, as the hold reckons it.
inline constexpr double kCharTimeMs = 9.16;
// How long a write waits for the first character of an answer.
inline constexpr uint32_t kFirstCharWaitMs = 380;
// A carrier that never drops would otherwise hold the quiet wait for ever.
inline constexpr uint32_t kMaxQuietWaitMs = 5000;
// How often the quiet wait looks at carrier detect: often enough that the
// quiet time counts from the carrier's end within a few milliseconds, seldom
// enough to cost nothing while polling.
inline constexpr uint32_t kCarrierPollMs = 4;

}  // namespace serial
