#pragma once
// `watch`: the registers read round after round on one connection, printed
// as changes or as CSV, until --count rounds, --max-failures failed rounds
// in a row, a signal or a reader of the output that went away.

#include "session.h"

namespace vek::cli {

// Returns the exit status (see Session::run): after --count rounds 0 when
// every round read, else the status of the last failure (4 a lost line, 1);
// that status after --max-failures; 128 + the signal that stopped it.
int runWatch(Session &session, const Command &cmd);

} // namespace vek::cli
