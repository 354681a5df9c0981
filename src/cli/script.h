#pragma once
// `run`: a script of commands on one connection, checked whole before the
// port is opened; or, from a terminal, a line at a time at a prompt.

#include "session.h"

namespace vek::cli {

struct Script {
    QString name;              // as messages name it: the file, or "stdin"
    bool interactive = false;  // read from a terminal while connected
    QList<Command> commands;   // checked, each with its line in `where`
};

// Reads and checks a whole script; throws UsageError naming the bad line.
// Standard input ("-") that is a terminal gives an interactive script,
// unless the context asks for whole input.
std::shared_ptr<Script> loadScript(const QString &path, CheckContext &context);

// Runs the script of a `run` command; returns its exit status (see
// Session::run).
int runScript(Session &session, const Command &cmd);

} // namespace vek::cli
