#pragma once
// The label chooser: a small modal dialog listing the register names of the
// include file, and owner of the register table for the whole run.

#include "registertable.h"

#include <QDialog>

class QComboBox;
class QKeyEvent;

namespace vek {

class Prompts;

class TLabels : public QDialog {
    Q_OBJECT
public:
    static constexpr int ResultOk = 1;
    static constexpr int ResultCancel = 2;

    explicit TLabels(Prompts *prompts, QWidget *parent = nullptr);

    QComboBox *cbLabels = nullptr;

    const RegisterTable &table() const { return m_table; }
    qsizetype count() const { return m_table.count(); }
    // Lets the user choose an include file and, if it opens, replaces the
    // table with its register section.
    void OpenIncFile();
    // Reads the include file at `path`; false when it cannot be opened.
    bool loadIncFile(const QString &path);

    void reject() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void cbLabelsEnter();
    void cbLabelsClick();
    void cbLabelsKeyPress();
    void fillCombo();
    bool listShown() const;
    void followText();
    void highlight(int row);   // in the dropped-down list; -1 for none
    void forwardToText(QKeyEvent *key);

    Prompts *m_prompts;
    RegisterTable m_table;
    bool m_filling = false;
    bool m_forwarding = false;
    bool m_typed = false;   // since the dialog was shown
};

} // namespace vek
