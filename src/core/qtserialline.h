#pragma once
// The serial line on a real port, through QSerialPort, used blocking from
// the thread that owns it. A line that hangs up (adapter pulled) costs
// nothing afterwards: no busy event loop, no time-outs.

#include "serialline.h"

#include <QSerialPort>

#include <functional>

namespace vek {

class QtSerialLine final : public SerialLine {
public:
    QtSerialLine();
    ~QtSerialLine() override;

    OpenResult open(const QString &name, int32_t baud) override;
    bool isOpen() const override;
    OpenFailure openFailure() const override;
    QString lostReason() const override;
    bool close() override;
    bool writeByte(uint8_t b) override;
    ReadResult readByte(uint8_t &b) override;
    void purgeRx() override;
    void purgeTx() override;
    bool setBreak(bool on) override;

    // The device a port name stands for, with links and "." resolved, so that
    // every spelling of one port finds the same lock; the name itself when it
    // names nothing.
    static QString devicePath(const QString &name);

    // Removes a lock file left by a process that no longer runs; false when
    // that is not permitted. Tests replace it: root may remove any file.
    using LockRemover = std::function<bool(const QString &path)>;
    void setLockRemover(LockRemover remover) { m_removeLock = std::move(remover); }

private:
    void noteError(QSerialPort::SerialPortError error);
    bool alive();
    QString removeStaleLock(const QString &device);

    QSerialPort m_port;
    // The line hung up while open. The descriptor is released at once, but
    // the port counts as open, failing every call at once, until close().
    bool m_dead = false;
    OpenFailure m_openFailure;
    LockRemover m_removeLock;
};

} // namespace vek
