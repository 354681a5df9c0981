#pragma once
// vekctl: the serial link and monitor protocol from the command line.
//
//   vekctl [options] COMMAND [ARGS] [COMMAND [ARGS]]...
//
// The whole command line is checked first (addresses, values, files, the
// lines of a script); only then is the port opened, once, and the commands
// run in order on that one connection. The port is closed at the end, also
// when SIGINT, SIGTERM or SIGHUP ends the run.

#include <QString>
#include <QStringList>

class QTextStream;

namespace vek {
class Session;
}

namespace vek::cli {

class CliHost;
struct Options;

// Exit statuses.
enum Exit : int {
    ExitOk = 0,
    ExitTargetFailed = 1,   // the target failed a command
    ExitUsage = 2,          // bad command line or bad input; nothing was sent
    ExitNoConnection = 3,   // the port did not open or the target did not answer
    ExitLineLost = 4,       // the line was lost: hang-up, adapter pulled, target silent
    // 128 + the signal number when SIGINT, SIGTERM or SIGHUP ended the run, 141 when
    // the reader of standard output went away. Where several apply: a
    // signal, then 4, then 3, then 1.
};

// Runs one invocation. `args` starts with the program name, as
// QCoreApplication::arguments() does. Results go to `out`, messages and
// diagnostics to `err`.
int runVekctl(const QStringList &args, QTextStream &out, QTextStream &err);

// Opens the port of `opt` on the target's link and runs the connection
// sequence and the identification query, as OpenComm does. Returns 0, or the
// exit status with the reason said; the port is then closed.
int connectTarget(const Options &opt, CliHost &host, vek::Session &target);
// Closes the port and connects again, saying nothing: Yes when the target
// answers, else the reason in `why`; Never when the target may hold part
// of a command cut meanwhile, so that no attempt may follow.
enum class Reconnected;
Reconnected reconnectTarget(const Options &opt, vek::Session &target, QString &why);

} // namespace vek::cli
