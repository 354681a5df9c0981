#pragma once
// What a cut command left in a target's line buffer, remembered per port
// beyond the run that cut it: the next connection on that port, whoever
// makes it, must not send the connection sequence into it. Kept beside the
// lock files (a runtime folder, gone after a reboot) and tied to the device
// itself: a new pseudo-terminal under an old number, or another adapter
// given the same ttyUSB name, is a different device and holds nothing.

#include <QByteArray>
#include <QString>

namespace vek {

class HeldCommands {
public:
    virtual ~HeldCommands() = default;
    // The characters the target on this port may hold; empty when none.
    virtual QByteArray find(const QString &port) = 0;
    // Remembers them; an empty `partial` forgets.
    virtual void note(const QString &port, const QByteArray &partial) = 0;
    void forget(const QString &port) { note(port, {}); }
};

// One small file a port, VEKHELD..NAME, in a runtime folder that every user
// can write to.
class HeldCommandFiles final : public HeldCommands {
public:
    explicit HeldCommandFiles(QString folder = defaultFolder()) : m_folder(std::move(folder)) {}
    // /run/lock, else the user's runtime folder, else the temporary folder.
    static QString defaultFolder();
    // What identifies the device behind a port name: the network address of
    // rfc2217://HOST:PORT, the device number and node creation time of a
    // local device; empty for a name that stands for no device (demo).
    static QString identity(const QString &port);

    QByteArray find(const QString &port) override;
    void note(const QString &port, const QByteArray &partial) override;

private:
    QString fileOf(const QString &port) const;

    QString m_folder;
};

} // namespace vek
