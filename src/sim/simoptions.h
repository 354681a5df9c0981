#pragma once
// vek-sim's command line: the options that shape the simulated target
// (--double-echo, --ident, --baud, --reg, --cr-in-replies, --fault,
// --moving) and their checking.

#include "targetmonitor.h"

#include <QString>

class QCommandLineParser;

namespace vek::sim {

struct SimSettings {
    TargetOptions target;
    int pacing = 0;   // bit rate the bytes are paced at; 0: unpaced
};

// Adds the options (not --help and --version) to `p`.
void addSimOptions(QCommandLineParser &p);
// Reads the options of a parsed command line; false with the reason in
// `error` when one is not valid.
bool readSimOptions(const QCommandLineParser &p, SimSettings &settings, QString &error);

} // namespace vek::sim
