// How the console tool ends when it is told to (Ctrl+C, a kill, a closed
// terminal): the first signal lets the command stop after the exchange
// under way and put back what it changed; the port is then closed and the
// tool exits with 128 + the signal's number. A second signal ends it at
// once, with that status and nothing put back.
//
// The handlers are chosen per platform (stop_signals_posix.cpp: SIGINT,
// SIGTERM, SIGHUP; stop_signals_win.cpp: the console's control events);
// what a stop does is shared (stop_signals.cpp).
#pragma once

#include <string>

namespace cli {

// Installs the handlers for the rest of the process. False when one could
// not be installed; the tool then runs without.
bool InstallStopHandlers();

// What the first signal does, from a thread that is no signal handler (the
// POSIX handler's watcher, the Windows control handler's thread, tests):
// notes the signal, says once on stderr that the tool is stopping, and cuts
// the exchange under way short where the command allows it.
void RequestStop(int signal);

// Notes the first signal's number and nothing more: async-signal-safe, for
// a handler, which then has RequestStop run on a thread of its own.
void NoteStopSignal(int signal);

// The first stop signal's number; 0 while none came.
int StopSignal();

// Whether a stop cuts the exchange under way short: yes for a command that
// only reads; no for one that changes something and must put it back,
// which then stops after the exchange. Turning it off ends a cut already
// made, so that what is put back gets through.
void SetCutShortOnStop(bool on);

// Forgets a stop: a run of the tool in-process after another (tests).
void ClearStop();

// "SIGINT", "SIGTERM", "SIGHUP"; "signal N" for another.
std::string StopSignalName(int signal);

}  // namespace cli
