// The window's setup files: File > Save writes the eight rows' addresses,
// values and labels; File > Open checks the whole file, fills the rows and
// writes the values to the target while connected.

#include "frmvekcom.h"

#include "shareclient.h"

#include "deskinput.h"
#include "prompts.h"
#include "setupfile.h"
#include "textconv.h"

#include <QCheckBox>
#include <QLineEdit>

namespace vek {

namespace {
const QString SetupFilter = QStringLiteral("VEK Setup (*.vek)");
}

void TfrmVekComm::mnuSaveClick()
{
    Prompts *p = m_deps.prompts;
    const auto cancelled = [p] {
        p->messageBox(QStringLiteral("Save file cancelled"), QStringLiteral("VEK Save"), Prompts::MbOk);
    };
    const QString chosen = p->saveFileName(SetupFilter);
    if (chosen.isEmpty())
        return cancelled();
    QString path = chosen;
    if (!path.endsWith(QLatin1String(".vek"), Qt::CaseSensitive))
        path += QLatin1String(".vek");
    if (p->messageBox(QStringLiteral("About to write ") + chosen, QStringLiteral("Save Warning"), Prompts::MbOkCancel)
        == Prompts::IdCancel)
        return cancelled();
    std::array<SetupRow, RowCount> setupRows{};
    std::array<QString, RowCount> labels;
    for (int r = 0; r < RowCount; ++r) {
        setupRows[r] = {RowAddr[r], RowValue[r]};
        labels[r] = rows[r].edtLabel->text();
    }
    if (!SaveFile(path, FormatSetup(setupRows, labels))) {
        p->messageBox(QStringLiteral("Could not open selected file.\nMake sure that there is enough disk-space "
                                     "and/orselected file is writeable."),
                      QStringLiteral("Save Error"), Prompts::MbOk | Prompts::MbIconExclamation);
        return;
    }
    SetupFileName = path;
}

void TfrmVekComm::mnuOpenClick()
{
    Prompts *p = m_deps.prompts;
    const QString path = p->openFileName(SetupFilter);
    if (path.isEmpty()) {
        p->messageBox(QStringLiteral("Open file cancelled"), QStringLiteral("VEK Open"), Prompts::MbOk);
        return;
    }
    // The whole file is checked before anything changes: a damaged file
    // never reaches the rows or the target.
    Setup setup;
    QString reason;
    switch (ReadSetupFile(path, setup, reason)) {
    case SetupRead::CannotOpen:
        p->messageBox(QStringLiteral("Could not open selected file.\n"), QStringLiteral("Open Error"),
                      Prompts::MbOk | Prompts::MbIconExclamation);
        return;
    case SetupRead::Invalid:
        p->messageBox(QStringLiteral("Invalid setup file: ") + reason, QStringLiteral("Open Error"),
                      Prompts::MbOk | Prompts::MbIconExclamation);
        return;
    case SetupRead::Ok:
        break;
    }
    for (int r = 0; r < RowCount; ++r) {
        RowAddr[r] = setup.rows[r].addr;
        RowValue[r] = setup.rows[r].value;
    }
    SetupFileName = path;
    ApplySetup();
    if (setup.labels) {
        for (int r = 0; r < RowCount; ++r)
            rows[r].edtLabel->setText((*setup.labels)[r]);
    } else {
        LookUpRowLabels();
    }
}

void TfrmVekComm::ApplySetup()
{
    for (int r = 0; r < RowCount; ++r) {
        RowAddrGiven[r] = true;
        rows[r].edtAddr->setText(AddrDisplay(RowAddr[r]));
    }
    for (int r = 0; r < RowCount; ++r)
        ShowRowValue(rows[r].edtData, RowValue[r], rows[r].chkHex->isChecked());
    if (!CommOpen)
        return;
    // The load stops at its first failed write: the next command must not
    // complete a line the target may hold half-typed, and one box says so.
    // Between two writes the window takes a close (input given meanwhile is
    // dropped): the write under way ends and nothing more is sent.
    desk::Busy busy;
    if (m_joined) {
        // One command on the served connection: no other client's write
        // comes between the file's writes.
        QList<RegWrite> writes;
        for (int r = 0; r < RowCount; ++r) {
            if (RowAddr[r] != 0)
                writes.append({RowAddr[r], RowValue[r]});
        }
        if (!writes.isEmpty() && joinedResult(m_joined->writeAll(writes))) {
            for (const auto &[addr, value] : writes)
                trendWrote(addr, value);
        }
        return;
    }
    for (int r = 0; r < RowCount && !m_closing; ++r) {
        if (RowAddr[r] == 0)
            continue;
        if (!m_link->WriteRegister(RowAddr[r], RowValue[r]))
            break;
        announce("write", RowAddr[r], RowValue[r]);
        desk::StaleInput::drop();
    }
}

void TfrmVekComm::LookUpRowLabels()
{
    for (int r = 0; r < RowCount; ++r)
        ShowLabelForAddr(rows[r].edtLabel, rows[r].edtAddr);
}

} // namespace vek
