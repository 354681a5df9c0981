#pragma once
// SIGINT, SIGTERM, SIGHUP and SIGPIPE noted instead of ending the process, through
// one pipe that the handler writes into (the self-pipe), for vekctl and
// vek-sim. vekctl ends the command under way, closes the port and tells the
// signal in its exit status; its waits that a signal should cut short (a
// script's sleep, a watch's interval, a prompt's input) go through here.
// vek-sim's event loop watches the pipe and ends.

namespace vek::interrupt {

// From now on SIGINT, SIGTERM, SIGHUP and SIGPIPE are noted instead of ending the
// process. False (errno set) when the pipe could not be made.
bool install();
// The default handling again; a noted signal is forgotten.
void restore();
// The signal that asked to stop, or 0.
int pending();
// The pipe's end that becomes readable when a signal is noted (after
// install()), for an event loop to watch; -1 where there is none.
int wakeFd();
// Sleeps `ms` milliseconds; false when a stop was asked before or meanwhile.
bool sleepMs(int ms);
// Waits until the file descriptor `fd` has input (or its end); false when a
// stop was asked first.
bool waitForInput(int fd);
bool isTerminal(int fd);
// True when standard output is a pipe whose reader has gone: a loop that
// prints only now and then (a watch of steady values) asks each round.
bool outputGone();

} // namespace vek::interrupt
