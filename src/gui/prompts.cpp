#include "prompts.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>

namespace vek {

namespace {
QWidget *parentFor(QWidget *p) { return p ? p : QApplication::activeWindow(); }

// Texts carry names and words from files and ports: never read them as markup.
int run(QMessageBox &box, const QString &informative = {})
{
    box.setTextFormat(Qt::PlainText);
    if (!informative.isEmpty()) {
        box.setInformativeText(informative);
        if (auto *label = box.findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
            label->setTextFormat(Qt::PlainText);
    }
    // A short text makes a narrow box, and the window manager would cut its
    // caption short: keep room for the caption beside the frame's buttons.
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout())) {
        const int room = box.fontMetrics().horizontalAdvance(box.windowTitle()) * 3 / 2 + 120;
        grid->addItem(new QSpacerItem(room, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    return box.exec();
}
}

void QtPrompts::showMessage(const QString &text, const QString &informative)
{
    QMessageBox box(QMessageBox::NoIcon, AppTitle, text, QMessageBox::Ok, parentFor(m_parent));
    run(box, informative);
}

int QtPrompts::messageBox(const QString &text, const QString &caption, int flags, const QString &informative)
{
    const bool withCancel = (flags & 0x0F) == MbOkCancel;
    const auto icon = (flags & 0xF0) == MbIconExclamation ? QMessageBox::Warning : QMessageBox::NoIcon;
    QMessageBox box(icon, caption, text,
                    withCancel ? (QMessageBox::Ok | QMessageBox::Cancel) : QMessageBox::Ok,
                    parentFor(m_parent));
    box.setEscapeButton(withCancel ? QMessageBox::Cancel : QMessageBox::Ok);
    return run(box, informative) == QMessageBox::Ok ? IdOk : IdCancel;
}

void QtPrompts::showError(const QString &text)
{
    QMessageBox box(QMessageBox::Critical, AppTitle, text, QMessageBox::Ok, parentFor(m_parent));
    run(box);
}

QString QtPrompts::openFileName(const QString &filter)
{
    // A typed name need not exist: the caller's own open reports a missing file.
    QFileDialog dialog(parentFor(m_parent), QString(), m_folders.value(filter), filter);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return chosen(filter, dialog.selectedFiles().value(0));
}

QString QtPrompts::saveFileName(const QString &filter)
{
    // The program asks its own question before every save.
    return chosen(filter, QFileDialog::getSaveFileName(parentFor(m_parent), QString(), m_folders.value(filter), filter,
                                                       nullptr, QFileDialog::DontConfirmOverwrite));
}

QString QtPrompts::inputText(const QString &caption, const QString &label, const QString &text)
{
    bool ok = false;
    const QString typed = QInputDialog::getText(parentFor(m_parent), caption, label, QLineEdit::Normal, text, &ok);
    return ok ? typed : QString();
}

QString QtPrompts::chosen(const QString &filter, const QString &path)
{
    if (!path.isEmpty())
        m_folders.insert(filter, QFileInfo(path).absolutePath());
    return path;
}

} // namespace vek
