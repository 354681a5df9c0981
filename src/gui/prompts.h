#pragma once
// The modal boxes and file dialogs of the windows, behind one seam so that
// tests answer them from a script instead of blocking.

#include <QHash>
#include <QString>

class QWidget;

namespace vek {

// The application's title, the caption of every simple message.
inline const QString AppTitle = QStringLiteral("VekMcuCommII");

class Prompts {
public:
    // Flags of the application message box.
    static constexpr int MbOk = 0;
    static constexpr int MbOkCancel = 1;
    static constexpr int MbIconExclamation = 0x30;
    // Results.
    static constexpr int IdOk = 1;
    static constexpr int IdCancel = 2;

    virtual ~Prompts() = default;
    // One OK button, the application title as caption. `informative`, when
    // not empty, stands below the text: the cause, where it is known.
    virtual void showMessage(const QString &text, const QString &informative) = 0;
    void showMessage(const QString &text) { showMessage(text, QString()); }
    // Text, caption and flags as above; returns IdOk or IdCancel.
    virtual int messageBox(const QString &text, const QString &caption, int flags, const QString &informative) = 0;
    int messageBox(const QString &text, const QString &caption, int flags)
    {
        return messageBox(text, caption, flags, QString());
    }
    // The box an unexpected error (such as a refused number) is shown in.
    virtual void showError(const QString &text) = 0;
    // File dialogs: `filter` in Qt's form ("VEK Setup (*.vek)"); an empty
    // result means the dialog was closed without a file.
    virtual QString openFileName(const QString &filter) = 0;
    virtual QString saveFileName(const QString &filter) = 0;
    // One line of text asked for under `label`, starting from `text`; empty
    // when cancelled.
    virtual QString inputText(const QString &caption, const QString &label, const QString &text) = 0;
};

// The real boxes and dialogs. A file dialog opens in the folder of the last
// file chosen with the same filter (setup files, include files) for the rest
// of the run, as one dialog reused would; nothing is kept between runs.
class QtPrompts final : public Prompts {
public:
    explicit QtPrompts(QWidget *parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget *parent) { m_parent = parent; }
    using Prompts::messageBox;
    using Prompts::showMessage;
    void showMessage(const QString &text, const QString &informative) override;
    int messageBox(const QString &text, const QString &caption, int flags, const QString &informative) override;
    void showError(const QString &text) override;
    QString openFileName(const QString &filter) override;
    QString saveFileName(const QString &filter) override;
    QString inputText(const QString &caption, const QString &label, const QString &text) override;

private:
    QString chosen(const QString &filter, const QString &path);

    QWidget *m_parent;
    QHash<QString, QString> m_folders;   // by filter
};

} // namespace vek
