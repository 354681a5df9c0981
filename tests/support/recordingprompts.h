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
    // "error TEXT", "open FILTER", "save FILTER", "input CAPTION|LABEL";
    // "|INFORMATIVE" follows a message's text and "|TEXT" an input box's
    // label when given.
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

    using Prompts::messageBox;
    using Prompts::showMessage;
    void showMessage(const QString &text, const QString &informative) override
    {
        log << QStringLiteral("msg ") + text + also(informative);
        if (whileShown)
            whileShown();
    }
    int messageBox(const QString &text, const QString &caption, int flags, const QString &informative) override
    {
        return answer(boxAnswers, QStringLiteral("box %1|%2|%3").arg(caption, text).arg(flags) + also(informative),
                      int(IdOk));
    }
    void showError(const QString &text) override { log << QStringLiteral("error ") + text; }
    QString openFileName(const QString &filter) override { return answer(fileAnswers, QStringLiteral("open ") + filter); }
    QString saveFileName(const QString &filter) override { return answer(fileAnswers, QStringLiteral("save ") + filter); }
    QString inputText(const QString &caption, const QString &label, const QString &text) override
    {
        return answer(inputAnswers, QStringLiteral("input %1|%2").arg(caption, label) + also(text));
    }

private:
    static QString also(const QString &part) { return part.isEmpty() ? QString() : u'|' + part; }
    // Logs `entry` and takes the next of `answers`, else `none`.
    template <typename T> T answer(QQueue<T> &answers, const QString &entry, T none = {})
    {
        log << entry;
        return answers.isEmpty() ? none : answers.dequeue();
    }
};

} // namespace vek::testing
