#include "frmlabels.h"

#include "deskinput.h"
#include "forms.h"
#include "prompts.h"
#include "textconv.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QShowEvent>

namespace vek {

namespace {
const QString IncFilter = QStringLiteral("Include files *.inc (*.inc)");
}

TLabels::TLabels(Prompts *prompts, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_prompts(prompts)
{
    setObjectName("Labels");
    setWindowTitle(forms::LabelsCaption);
    setFont(forms::proportionalFont());
    setModal(true);
    const auto widgets = forms::build(this, forms::labelsControls());
    cbLabels = qobject_cast<QComboBox *>(widgets.value("cbLabels"));
    cbLabels->setFont(forms::proportionalFont());
    // Outer size as laid out; the frame is the window manager's.
    setFixedSize(forms::LabelsOuterSize.width() - 8, forms::LabelsOuterSize.height() - 27);
    move(forms::LabelsPosition);
    cbLabels->installEventFilter(this);
    if (cbLabels->lineEdit())
        cbLabels->lineEdit()->installEventFilter(this);
    // The list's own handling of Enter and clicks comes after ours.
    cbLabels->view()->installEventFilter(this);
    // A closed chooser takes no name from the wheel.
    desk::ignoreWheel(cbLabels);
    connect(cbLabels, &QComboBox::currentIndexChanged, this, [this] { cbLabelsClick(); });
    // Taking a name from the list accepts, also the name already selected.
    connect(cbLabels, &QComboBox::activated, this, [this] { cbLabelsClick(); });
}

void TLabels::OpenIncFile()
{
    const QString path = m_prompts->openFileName(IncFilter);
    if (path.isEmpty()) {
        m_prompts->messageBox(QStringLiteral("Open file cancelled"), QStringLiteral("INC Open"), Prompts::MbOk);
        return;
    }
    if (!loadIncFile(path)) {
        m_prompts->messageBox(QStringLiteral("Could not open selected file.\n"), QStringLiteral("Open Error"),
                              Prompts::MbOk | Prompts::MbIconExclamation);
    }
}

bool TLabels::loadIncFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    RegisterTable fresh;
    fresh.read(file);
    m_table = std::move(fresh);
    fillCombo();
    return true;
}

void TLabels::fillCombo()
{
    m_filling = true;
    cbLabels->clear();
    QStringList names;
    names.reserve(m_table.count());
    for (const QByteArray &n : m_table.names())
        names << NameText(n);
    cbLabels->addItems(names);
    cbLabels->setCurrentIndex(-1);
    cbLabels->setEditText(QString());
    m_filling = false;
}

void TLabels::reject()
{
    done(ResultCancel);
}

void TLabels::closeEvent(QCloseEvent *event)
{
    event->ignore();
    done(ResultCancel);
}

void TLabels::cbLabelsEnter()
{
    if (m_table.isEmpty()) {
        OpenIncFile();
        if (m_table.isEmpty())
            done(ResultCancel);
    }
}

void TLabels::cbLabelsClick()
{
    if (m_filling || !isVisible())
        return;
    done(ResultOk);
}

void TLabels::cbLabelsKeyPress()
{
    if (!listShown())
        cbLabels->showPopup();
}

bool TLabels::listShown() const { return cbLabels->view() && cbLabels->view()->isVisible(); }

// The dropped-down list follows the text part: the first name that starts
// with the typed text, in any case, is highlighted. Nothing is chosen.
void TLabels::followText()
{
    const QString typed = cbLabels->currentText();
    int match = -1;
    for (int i = 0; !typed.isEmpty() && i < cbLabels->count() && match < 0; ++i) {
        if (cbLabels->itemText(i).startsWith(typed, Qt::CaseInsensitive))
            match = i;
    }
    highlight(match);
}

void TLabels::highlight(int row)
{
    QAbstractItemView *list = cbLabels->view();
    const QModelIndex at = cbLabels->model()->index(row, cbLabels->modelColumn(), cbLabels->rootModelIndex());
    list->setCurrentIndex(at);
    if (at.isValid())
        list->scrollTo(at);
}

// A key typed while the list is down edits the text part, and the list
// follows the text.
void TLabels::forwardToText(QKeyEvent *key)
{
    m_forwarding = true;
    // The first character typed starts a new name in place of the last one chosen.
    if (!m_typed && !key->text().isEmpty() && key->text().at(0).isPrint())
        cbLabels->lineEdit()->clear();
    m_typed = true;
    QCoreApplication::sendEvent(cbLabels->lineEdit(), key);
    m_forwarding = false;
    followText();
}

void TLabels::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    m_typed = false;
}

bool TLabels::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == cbLabels && event->type() == QEvent::FocusIn) {
        cbLabelsEnter();
        return false;
    }
    if (event->type() != QEvent::KeyPress || m_forwarding)
        return QDialog::eventFilter(watched, event);
    auto *ke = static_cast<QKeyEvent *>(event);
    const int key = ke->key();
    const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
    QLineEdit *text = cbLabels->lineEdit();

    if (key == Qt::Key_Home || key == Qt::Key_End) {
        // The first or last name, with or without Ctrl; the list drops down
        // to show it, and Enter takes it.
        if (!listShown())
            cbLabels->showPopup();
        highlight(key == Qt::Key_Home ? 0 : cbLabels->count() - 1);
        return true;
    }
    if (watched == cbLabels->view() || listShown()) {
        // The list is down.
        if (key == Qt::Key_Escape) {
            cbLabels->hidePopup();
            done(ResultCancel);
            return true;
        }
        if (enter) {   // the list takes its highlighted name, if any
            if (watched == cbLabels->view())
                return false;
            QCoreApplication::sendEvent(cbLabels->view(), ke);
            return true;
        }
        const bool editing = !ke->text().isEmpty() || key == Qt::Key_Backspace || key == Qt::Key_Delete
            || key == Qt::Key_Left || key == Qt::Key_Right;
        if (text && editing && key != Qt::Key_Tab && key != Qt::Key_Backtab) {
            forwardToText(ke);
            return true;
        }
        return false;
    }

    if (ke->text().isEmpty() || key == Qt::Key_Tab || key == Qt::Key_Backtab)
        return QDialog::eventFilter(watched, event);
    // The list is closed: a character key drops it down first, then goes on
    // into the text part. Enter and Escape only drop it down.
    cbLabelsKeyPress();
    if (enter || key == Qt::Key_Escape)
        return true;
    if (text) {
        forwardToText(ke);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace vek
