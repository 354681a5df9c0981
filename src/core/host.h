#pragma once
// What the link needs from whoever runs it: a way to show a message and a
// way to sleep. The window shows a modal box, the command line prints to
// standard error, tests record and advance a virtual clock.

#include <QString>
#include <QStringList>

namespace vek {

class Host {
public:
    virtual ~Host() = default;
    virtual void showMessage(const QString &text) = 0;
    // Ends early when a stop is asked meanwhile.
    virtual void sleepMs(int ms) = 0;
    // True once the user asked to stop what is under way (vekctl: a signal).
    virtual bool stopAsked() { return false; }
};

// Another host's waits and stop, with the link's messages kept instead of
// shown: lent to the link by a caller that reports them itself (in a result,
// or in one box once a trend read has failed).
class GatheringHost final : public Host {
public:
    explicit GatheringHost(Host &inner) : m_inner(inner) {}
    void showMessage(const QString &text) override { messages << text; }
    void sleepMs(int ms) override { m_inner.sleepMs(ms); }
    bool stopAsked() override { return m_inner.stopAsked(); }
    QStringList messages;

private:
    Host &m_inner;
};

} // namespace vek
