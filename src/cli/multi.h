#pragma once
// Several targets at once (-p given more than once): the same checked
// commands run on every target in a thread of its own, each on a link of its
// own, and every line a target prints goes out whole, after the port's name
// and a tab. A target that fails never stops the others.

#include "check.h"

#include <QStringList>
#include <functional>

class QTextStream;

namespace vek::cli {

// Throws UsageError for what cannot run on several targets at once: a save
// (one file, several targets) and watch --csv (one table).
void checkSeveralTargets(const QList<Command> &cmds, const Options &opt);

// What runs for one target: the commands with the port in `opt`, printing
// to `out` and `err`. Returns that target's exit status.
using TargetRun = std::function<int(const Options &opt, QTextStream &out, QTextStream &err)>;

// Runs `run` for every port at the same time and waits for all. The exit
// status is the first of these that any target gave: a signal's
// (130, 143, 129, 141 in that order), 4, 3, 1, any other; else 0.
int runOnEach(const QStringList &ports, const Options &opt, const TargetRun &run, QTextStream &out,
              QTextStream &err);

// The status that stands for several: the order above.
int combinedStatus(const QList<int> &statuses);

} // namespace vek::cli
