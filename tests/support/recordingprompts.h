#pragma once
// Prompts that answer from a script and record every box and dialog, so
// that window tests never block on a modal box.

#include "prompts.h"

#include <QQueue>
#include <QStringList>
#include <functional>

namespace vek::testing {

class RecordingPrompts final : public Prompts {
public:
    // Every box shown, in order: "msg TEXT", "box CAPTION|TEXT|FLAGS",
    // "error TEXT", "open FILTER", "save FILTER", "input CAPTION|LABEL".
    QStringList log;
    // Answers, taken in order; when empty a box answers IdOk and a file
    // dialog is cancelled.
    QQueue<int> boxAnswers;
    QQueue<QString> fileAnswers;
    QQueue<QString> inputAnswers;   // when empty, an input box is cancelled
    // Runs while a simple message is up, as a modal box's own event loop would.
    std::function<void()> whileShown;

    QStringList messages() const
    {
        QStringList out;
        for (const QString &l : log)
            if (l.startsWith(QLatin1String("msg ")))
                out << l.mid(4);
        return out;
    }
    void clear() { log.clear(); }

    void showMessage(const QString &text) override
    {
        log << QStringLiteral("msg ") + text;
        if (whileShown)
            whileShown();
    }
    int messageBox(const QString &text, const QString &caption, int flags) override
    {
        log << QStringLiteral("box %1|%2|%3").arg(caption, text).arg(flags);
        return boxAnswers.isEmpty() ? IdOk : boxAnswers.dequeue();
    }
    void showError(const QString &text) override { log << QStringLiteral("error ") + text; }
    QString openFileName(const QString &filter) override { return fileDialog(QStringLiteral("open ") + filter); }
    QString saveFileName(const QString &filter) override { return fileDialog(QStringLiteral("save ") + filter); }

    QString inputText(const QString &caption, const QString &label) override
    {
        log << QStringLiteral("input %1|%2").arg(caption, label);
        return inputAnswers.isEmpty() ? QString() : inputAnswers.dequeue();
    }

private:
    QString fileDialog(const QString &entry)
    {
        log << entry;
        return fileAnswers.isEmpty() ? QString() : fileAnswers.dequeue();
    }
};

} // namespace vek::testing
