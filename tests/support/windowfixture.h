#pragma once
// A main window wired to a simulated target on the scripted line: the
// target's monitor answers every byte at once and the link's time-outs and
// fixed waits run on the virtual clock, so window tests never wait.

#include "comport.h"
#include "fakeline.h"
#include "frmvekcom.h"
#include "recordingprompts.h"
#include "targetmonitor.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

namespace vek::testing {

using Lines = QList<QByteArray>;

// An entry in progress shows red, and so does a warning in a label.
inline bool isRed(const QLineEdit *field) { return field->palette().color(QPalette::Text) == QColor(255, 0, 0); }
inline bool isRed(const QLabel *label) { return label->palette().color(QPalette::WindowText) == QColor(255, 0, 0); }

// Focuses `field` as an arrow key or a click would and types `keys` ('\r'
// Enter, '\x1b' Escape, '\b' Backspace).
inline void press(QWidget *field, const QString &keys = {})
{
    QApplication::setActiveWindow(field->window());
    field->setFocus(Qt::OtherFocusReason);
    QTest::keyClicks(field, keys);
}

struct WindowFixture {
    VirtualClock clock;
    FakeLine line{clock};
    RecordingPrompts prompts;
    sim::TargetMonitor target;
    std::unique_ptr<TfrmVekComm> window;

    explicit WindowFixture(const sim::TargetOptions &options = {},
                           QStringList ports = {QStringLiteral("ttyS0"), QStringLiteral("ttyS1")},
                           QStringList extraPorts = {})
        : target(options)
    {
        line.respond = [this](uint8_t b) { return target.feed(b); };
        window = std::make_unique<TfrmVekComm>(
            WindowDeps{&line, &prompts, [this](int ms) { clock.nowMs += ms; }, std::move(extraPorts), std::move(ports), {}});
        window->show();
        QApplication::setActiveWindow(window.get());
    }

    TfrmVekComm::Probe probe() const { return TfrmVekComm::Probe(*window); }

    // Presses OpenComm; true when the window is then Open.
    bool connect()
    {
        probe().btnOpenClose->click();
        target.clearLog();
        line.written.clear();
        return probe().CommOpen;
    }
    // The command lines the target ran since the last call.
    QList<QByteArray> takeLines() { QList<QByteArray> l = target.lines(); target.clearLog(); return l; }
    // From now on the target answers with `fault`, after `after` bytes.
    void setFault(sim::Fault fault, int after = 0, int replyBytes = 10000)
    {
        sim::TargetOptions o = target.options();
        o.fault = fault, o.faultAfter = after, o.longReplyBytes = replyBytes;
        target.setOptions(o);
    }
};

} // namespace vek::testing
