#pragma once
// `watch`: the registers read round after round on one connection, printed
// as changes or as CSV, until --count rounds or a signal.

#include "commands.h"

namespace vek::cli {

// Returns the exit status (see Session::run): 0 after --count rounds,
// 128 + the signal that stopped it.
int runWatch(Session &session, const Command &cmd);

} // namespace vek::cli
