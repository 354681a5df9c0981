#pragma once
// What the link needs from whoever runs it: a way to show a message and a
// way to sleep. The window shows a modal box, the command line prints to
// standard error, tests record and advance a virtual clock.

#include <QString>

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

} // namespace vek
