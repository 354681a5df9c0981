#pragma once
// A TargetMonitor served on the master side of a pseudo-terminal, in a
// thread of its own, optionally paced at a line rate so that timings
// measured against it mean what they would on a cable.

#include "targetmonitor.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

namespace vek::sim {

class PtyTarget {
public:
    // `pacingBaud` 0 serves as fast as possible; 300, 4800, 9600 pace every
    // byte in both directions at 10 bit times.
    explicit PtyTarget(const TargetOptions &options = {}, int pacingBaud = 0);
    ~PtyTarget();
    PtyTarget(const PtyTarget &) = delete;
    PtyTarget &operator=(const PtyTarget &) = delete;

    // Creates the pseudo-terminal (raw mode on both sides) and starts serving.
    bool start(QString *error = nullptr);
    void stop();
    // The slave device path the host opens, e.g. /dev/pts/5.
    QString devicePath() const;

    // Closes the master side at once, as when a USB adapter is pulled; the
    // host's reads then fail. Also done by a HangUp fault of the monitor.
    void hangUp();

    // Thread-safe views of the monitor's state.
    QByteArray received() const;
    QList<QByteArray> lines() const;
    void clearLog();
    uint8_t reg(uint16_t addr) const;
    void setReg(uint16_t addr, uint8_t value);
    // New options for the monitor; registers, logs and the line being typed
    // are kept, and the fault count starts again from 0.
    void setOptions(const TargetOptions &options);
    // The monitor's reset button (TargetMonitor::reset).
    void reset();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace vek::sim
