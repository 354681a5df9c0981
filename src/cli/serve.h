#pragma once
// vekctl serve: the connection of this run served to other programs until a
// signal ends it.

namespace vek::cli {

class Session;
struct Command;

// The exit status: 128 + the signal that ended the serving, or 3 when the
// port's socket could not be made (another process serves the port).
int runServe(Session &session, const Command &cmd);

} // namespace vek::cli
