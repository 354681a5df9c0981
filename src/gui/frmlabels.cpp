#include "frmlabels.h"

#include "forms.h"
#include "prompts.h"
#include "textconv.h"

#include <QCloseEvent>
#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>

namespace vek {

namespace {
const QString IncFilter = QStringLiteral("Include files *.inc (*.inc)");
}

TLabels::TLabels(Prompts *prompts, QWidget *parent) : QDialog(parent), m_prompts(prompts)
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
    connect(cbLabels, &QComboBox::currentIndexChanged, this, [this] { cbLabelsClick(); });
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
    if (cbLabels->view() && !cbLabels->view()->isVisible())
        cbLabels->showPopup();
}

bool TLabels::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == cbLabels && event->type() == QEvent::FocusIn) {
        cbLabelsEnter();
        return false;
    }
    if (event->type() == QEvent::KeyPress) {
        auto *ke = static_cast<QKeyEvent *>(event);
        if (!ke->text().isEmpty() && ke->key() != Qt::Key_Tab && ke->key() != Qt::Key_Backtab) {
            cbLabelsKeyPress();
            // Enter and Escape only open the list: a typed name is never
            // looked up, and only a chosen item or the close button ends
            // the dialog.
            if (ke->key() == Qt::Key_Return || ke->key() == Qt::Key_Enter || ke->key() == Qt::Key_Escape)
                return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace vek
