#pragma once
// What the serial line asks of the platform's driver beyond QSerialPort.
// Best effort throughout: a driver that refuses is no failure.

#include <QString>
#include <QtGlobal>

namespace vek::linedriver {

// Asks the driver to hand on each received byte at once. Without it a USB
// adapter may hold bytes back for up to 16 ms, and every echo exchange waits
// for it. Silently skipped where the driver refuses (a pseudo-terminal).
void requestLowLatency(qintptr handle);

// True when the line behind an open port has hung up: the adapter was
// pulled, or the other end of a pseudo-terminal closed. `reportedGone` is
// whether the port said its device went away; where the line itself cannot
// be asked, that is the answer.
bool hungUp(qintptr handle, bool reportedGone);

// Takes an exclusive advisory lock (flock) on the open port, as other serial
// programs do, so that two programs never share one device whatever name
// each opened it by. False only when another open file holds that lock.
bool lockExclusive(qintptr handle);

// Another process that has the device open, as "NAME (PID n)", or empty
// when none is seen. Linux only (the descriptors under /proc, as fuser reads
// them); processes of other users are seen only with the privilege to look.
// The other end of a pseudo-terminal (a process that also holds its master,
// a simulated target) is no rival and is not named.
QString otherHolder(const QString &device);

// False when no process with this id runs on this machine.
bool processRunning(qint64 pid);

} // namespace vek::linedriver
