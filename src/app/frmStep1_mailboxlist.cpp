// The mailbox list of frmStep1: adding files from the Open dialog, clearing, and importing
// every mailbox below a folder.

#include <QApplication>
#include <QFile>
#include <exception>

#include "app/frmStep1.h"
#include "mailboxlist/mailbox_grid.h"
#include "mailboxlist/mailbox_search.h"
#include "shell/paths.h"

using quill::MsgAnswer;
using quill::MsgButtons;
using quill::MsgIcon;

namespace {

// The wait cursor for the whole program while it is held.
class WaitCursor {
  public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { restore(); }
    void restore() {
        if (active_) QApplication::restoreOverrideCursor();
        active_ = false;
    }

  private:
    bool active_ = true;
};

constexpr std::size_t kUnreadableFoldersNamed = 20;

}  // namespace

void frmStep1::AddMailboxFile(const QString& path) {
    bool fillFirstRow = false;
    if (grdFiles1->rows() == 1) {
        grdFiles1->setRow(0);
        if (grdFiles1->currentText().isEmpty()) {
            // The empty list: one empty row, which this addition fills.
            grdFiles1->setRows(1);
            grdFiles1->setColumnWidth(quill::MailboxGrid::kDefaultColumnWidth);
            fillFirstRow = true;
        }
    }
    if (!fillFirstRow) grdFiles1->setRows(grdFiles1->rows() + 1);
    const int last = grdFiles1->rows() - 1;
    grdFiles1->setText(last, path);
    grdFiles1->setRow(last);
    lblCount1->setText(QString::number(grdFiles1->rows()) + QStringLiteral(" files"));
}

void frmStep1::ClearMailboxList() {
    grdFiles1->setRows(1);
    grdFiles1->clearTexts();
    lblCount1->setText(QStringLiteral("0 files"));
}

std::vector<std::string> frmStep1::MailboxPaths() const {
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(grdFiles1->rows()));
    for (int row = 0; row < grdFiles1->rows(); ++row)
        paths.push_back(QFile::encodeName(grdFiles1->text(row)).toStdString());
    return paths;
}

void frmStep1::cmdAdd_Click() {
    try {
        // "All files" for mailboxes without a mailbox's name, as Thunderbird keeps them.
        const QStringList chosen =
            dialogs_.openFiles(this, {{QStringLiteral("MBOX Files (*.mbox,*.mbx)"),
                                       {QStringLiteral("*.mbox"), QStringLiteral("*.mbx")}},
                                      {QStringLiteral("All files (*)"), {QStringLiteral("*")}}});
        if (chosen.isEmpty()) return;               // cancelled
        if (!converting_) setConvertEnabled(true);  // a run enables it at its end
        for (const QString& file : chosen) AddMailboxFile(file);
    } catch (const std::exception& error) {
        Say(QStringLiteral("The chosen files could not all be added to the list: ") +
                QString::fromLocal8Bit(error.what()),
            MsgButtons::Ok, MsgIcon::Exclamation);
    }
}

void frmStep1::cmdClear1_Click() {
    grdFiles1->setRow(0);
    if (grdFiles1->currentText().isEmpty()) return;  // the empty list: nothing to ask
    if (Say(QStringLiteral("Do you want to clear all the files in the list\r\n Proceed?"),
            MsgButtons::YesNo, MsgIcon::Question) == MsgAnswer::Yes)
        ClearMailboxList();
}

void frmStep1::CmdAddFolder_Click() {
    QString folder = dialogs_.browseFolder(this, QStringLiteral("Choose Source Folder..."));
    if (folder.isEmpty()) return;
    const std::string start = quill::AddTrailingSeparator(QFile::encodeName(folder).toStdString());

    RunScope busy(*this);
    WaitCursor waiting;
    quill::YieldClock clock(*this, yieldBudget());
    quill::MailboxSearch found = quill::FindMailboxesUnder(start, &clock);
    if (found.cancelled || cancelRequested()) return;  // the window is closing

    int added = 0;
    for (const std::string& mailbox : found.mailboxes) {
        if (clock.maybeYield() && cancelRequested()) return;
        AddMailboxFile(QFile::decodeName(QByteArray::fromStdString(mailbox)));
        ++added;
    }
    waiting.restore();

    if (!converting_) setConvertEnabled(added > 0);  // a run enables it at its end
    Say(QString::number(added) + QStringLiteral(" Files Added to List."), MsgButtons::Ok,
        MsgIcon::None);

    if (!found.unreadableFolders.empty()) {
        QString text = QStringLiteral(
            "These folders could not be read, so mailboxes in them are not in the list:");
        std::size_t named = 0;
        for (const quill::UnreadableFolder& unreadable : found.unreadableFolders) {
            if (named++ == kUnreadableFoldersNamed) {
                text += QStringLiteral("\r\n... and %1 more.")
                            .arg(found.unreadableFolders.size() - kUnreadableFoldersNamed);
                break;
            }
            text += QStringLiteral("\r\n") +
                    QFile::decodeName(QByteArray::fromStdString(unreadable.path)) +
                    QStringLiteral(" (") + QString::fromLocal8Bit(unreadable.reason.c_str()) +
                    QLatin1Char(')');
        }
        Say(text, MsgButtons::Ok, MsgIcon::Exclamation);
    }
}
