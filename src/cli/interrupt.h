#pragma once
// Ctrl-C (SIGINT), SIGTERM and SIGPIPE while vekctl holds the port: noted, so
// that the command under way ends, the port is closed and the exit status
// tells the signal. Waits that a signal should cut short (a script's sleep, a watch's
// interval, a prompt's input) go through here.

namespace vek::cli::interrupt {

// From now on SIGINT, SIGTERM and SIGPIPE are noted instead of ending the
// process.
void install();
// The default handling again; a noted signal is forgotten.
void restore();
// The signal that asked to stop, or 0.
int pending();
// Sleeps `ms` milliseconds; false when a stop was asked before or meanwhile.
bool sleepMs(int ms);
// Waits until the file descriptor `fd` has input (or its end); false when a
// stop was asked first.
bool waitForInput(int fd);
bool isTerminal(int fd);
// True when standard output is a pipe whose reader has gone: a loop that
// prints only now and then (a watch of steady values) asks each round.
bool outputGone();

} // namespace vek::cli::interrupt
