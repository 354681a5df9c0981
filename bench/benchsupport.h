#pragma once
// What the benchmark programs share: the median of their runs, and leaving
// with a reason when a target or a port cannot be had.

#include <QProcess>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace vekbench {

inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

[[noreturn]] inline void die(const char *program, const QString &what)
{
    std::fprintf(stderr, "%s: %s\n", program, qPrintable(what));
    std::exit(2);
}

// A Python 3 that can import `module`: the one on the PATH, else the
// system's (Debian's python3-serial sits beside /usr/bin/python3); empty
// when neither can.
inline QString findPython(const QString &module)
{
    for (const QString &py : {QStringLiteral("python3"), QStringLiteral("/usr/bin/python3")}) {
        QProcess p;
        p.start(py, {QStringLiteral("-c"), QStringLiteral("import ") + module});
        if (p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
            return py;
    }
    return {};
}

} // namespace vekbench
