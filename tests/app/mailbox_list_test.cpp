// The mailbox list of the window: picking files, clearing, importing a folder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QTimer>

#include <filesystem>

#include "app/frmStep1.h"
#include "mailboxlist/mailbox_grid.h"
#include "mailboxlist/temp_tree.h"
#include "shell/scripted_dialogs.h"

using namespace quill;
using quill::testing::TempTree;
namespace fs = std::filesystem;

namespace {

class List : public ::testing::Test {
  protected:
    ScriptedDialogs dialogs;
    frmStep1 w{dialogs};

    QStringList Rows() const {
        QStringList rows;
        for (int r = 0; r < w.grdFiles1->rows(); ++r) rows << w.grdFiles1->text(r);
        return rows;
    }
    void Pick(const QStringList& files) {
        dialogs.fileSelections.push_back(files);
        w.cmdAdd->click();
    }
    void ImportFolder(const std::string& folder) {
        dialogs.folders.push_back(QString::fromStdString(folder));
        w.CmdAddFolder->click();
    }
};

}  // namespace

TEST_F(List, PickedFilesAreAddedInTheDialogsOrder) {
    Pick({"/mail/a.mbox"});  // one file on the empty list fills its first row
    ASSERT_EQ(dialogs.openDialogs.size(), 1u);
    ASSERT_EQ(dialogs.openDialogs[0].size(), 2);
    EXPECT_EQ(dialogs.openDialogs[0][0].description, "MBOX Files (*.mbox,*.mbx)");
    EXPECT_EQ(dialogs.openDialogs[0][0].patterns, (QStringList{"*.mbox", "*.mbx"}));
    EXPECT_EQ(dialogs.openDialogs[0][1].description, "All files (*)");
    EXPECT_EQ(dialogs.openDialogs[0][1].patterns, QStringList{"*"});
    EXPECT_EQ(Rows(), QStringList{"/mail/a.mbox"});
    EXPECT_EQ(w.lblCount1->text(), "1 files");
    EXPECT_EQ(w.MailboxPaths(), std::vector<std::string>{"/mail/a.mbox"});
    EXPECT_TRUE(w.CmdConvert->isEnabled());

    Pick({"/mail/b.mbx", "/mail/c.mbox", "/mail/a.mbox"});  // the same path twice is fine
    EXPECT_EQ(Rows(), (QStringList{"/mail/a.mbox", "/mail/b.mbx", "/mail/c.mbox", "/mail/a.mbox"}));
    EXPECT_EQ(w.lblCount1->text(), "4 files");
    EXPECT_EQ(w.grdFiles1->row(), 3);  // the current cell is the last row added
}

TEST_F(List, CancellingEitherDialogChangesNothing) {
    Pick({});
    EXPECT_EQ(Rows(), QStringList{""});
    EXPECT_EQ(w.lblCount1->text(), "0 files");
    EXPECT_FALSE(w.CmdConvert->isEnabled());
    EXPECT_EQ(w.MailboxPaths(), std::vector<std::string>{""});  // the empty list is one empty row

    Pick({"/mail/a.mbox"});
    w.CmdAddFolder->click();  // no folder scripted: cancel
    EXPECT_EQ(dialogs.folderPrompts.size(), 1);
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_TRUE(w.CmdConvert->isEnabled());
    EXPECT_EQ(Rows(), QStringList{"/mail/a.mbox"});
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(List, CountCaptionFollowsAddClearAdd) {
    w.cmdClear1->click();  // on the empty list: no question
    EXPECT_TRUE(dialogs.boxes.empty());

    Pick({"/mail/a.mbox", "/mail/b.mbox"});
    dialogs.answers = {MsgAnswer::No};
    w.cmdClear1->click();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "Do you want to clear all the files in the list\n Proceed?");
    EXPECT_EQ(dialogs.boxes[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(dialogs.boxes[0].icon, MsgIcon::Question);
    EXPECT_EQ(dialogs.boxes[0].title, "Quillmere");
    EXPECT_EQ(Rows().size(), 2);  // No keeps every row

    dialogs.answers = {MsgAnswer::Yes};
    w.cmdClear1->click();
    EXPECT_EQ(Rows(), QStringList{""});
    EXPECT_EQ(w.lblCount1->text(), "0 files");
    EXPECT_TRUE(w.CmdConvert->isEnabled());  // clearing leaves Convert as it was
    EXPECT_EQ(w.grdFiles1->columnWidth(), 1000);

    Pick({"/mail/c.mbox"});
    EXPECT_EQ(Rows(), QStringList{"/mail/c.mbox"});
    EXPECT_EQ(w.lblCount1->text(), "1 files");
}

TEST_F(List, FolderImportAddsMailboxesInWalkOrder) {
    TempTree tree("import");
    // Which names are mailboxes is the mailbox search's own test; here the window's part.
    for (const char* name : {"a.mbox", "B.MBX", "c.txt", "Inbox.mbox/mbox", "sub/deeper/e.mbox"})
        tree.File(name);
    const QString M = QString::fromStdString(tree.path());
    ImportFolder(tree.path());  // without a trailing separator
    EXPECT_EQ(dialogs.folderPrompts, QStringList{"Choose Source Folder..."});
    EXPECT_EQ(Rows(), (QStringList{M + "/a.mbox", M + "/B.MBX", M + "/Inbox.mbox/mbox",
                                   M + "/sub/deeper/e.mbox"}));
    EXPECT_EQ(w.lblCount1->text(), "4 files");
    EXPECT_TRUE(w.CmdConvert->isEnabled());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "4 Files Added to List.");
    EXPECT_EQ(dialogs.boxes[0].buttons, MsgButtons::Ok);
    EXPECT_EQ(dialogs.boxes[0].title, "Quillmere");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the wait cursor is gone
}

TEST_F(List, AnImportThatFindsNothingDisablesConvertEvenWithRowsListed) {
    TempTree tree("nothing");
    tree.File("notes.txt");
    Pick({"/mail/a.mbox"});
    ASSERT_TRUE(w.CmdConvert->isEnabled());
    ImportFolder(tree.path());
    EXPECT_FALSE(w.CmdConvert->isEnabled());
    EXPECT_EQ(Rows(), QStringList{"/mail/a.mbox"});
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "0 Files Added to List.");
}

TEST_F(List, UnreadableFoldersAreNamedInAWarningAfterTheCount) {
    TempTree tree("warn");
    tree.File("a.mbox");
    tree.File("z/z.mbox");
    std::string tooDeep = tree.TooDeepFolders("deep");
    ImportFolder(tree.path());
    EXPECT_EQ(Rows().size(), 2);
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_EQ(dialogs.boxes[0].text, "2 Files Added to List.");
    EXPECT_EQ(dialogs.boxes[1].icon, MsgIcon::Exclamation);
    EXPECT_EQ(dialogs.boxes[1].title, "Quillmere");
    EXPECT_TRUE(dialogs.boxes[1].text.contains(QString::fromStdString(tooDeep)))
        << dialogs.boxes[1].text.toStdString() << "\n"
        << tooDeep;
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(List, ClosingTheWindowDuringAnImportStopsIt) {
    TempTree tree("closing");
    for (int i = 0; i < 20; ++i) tree.File("f" + std::to_string(i) + "/m.mbox");
    w.setYieldBudget(std::chrono::milliseconds(0));
    w.show();
    // The first yield of the import closes the window.
    QTimer::singleShot(0, &w, [&] { w.close(); });
    ImportFolder(tree.path());
    EXPECT_TRUE(w.cancelRequested());
    EXPECT_TRUE(dialogs.boxes.empty());  // no count box for an import the user ended
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    QElapsedTimer t;
    t.start();
    while (w.isVisible() && t.elapsed() < 2000) QCoreApplication::processEvents();
    EXPECT_FALSE(w.isVisible());
}

// The real Open dialog: offers *.mbox and *.mbx files whatever their case, several at once.
TEST(QtDialogsOpenFiles, OffersMailboxesIgnoringCaseAndReturnsFullPaths) {
    TempTree tree("dialog");
    for (const char* name : {"a.mbox", "x.MbOx", "B.MBX", "c.txt", "d.mbox.bak"}) tree.File(name);
    const QString folder = QString::fromStdString(tree.path());
    QStringList offered;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        auto* model = dialog->findChild<QFileSystemModel*>();
        ASSERT_NE(model, nullptr);
        dialog->setDirectory(folder);
        QElapsedTimer t;
        t.start();
        QModelIndex root = model->index(folder);
        while (t.elapsed() < 5000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            if (model->rowCount(root) >= 3) break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        for (int r = 0; r < model->rowCount(root); ++r) {
            QModelIndex index = model->index(r, 0, root);
            // Hidden by the filter unless the model disables instead of hiding.
            if (model->flags(index) & Qt::ItemIsEnabled) offered << model->fileName(index);
        }
        auto* nameEdit = dialog->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(nameEdit, nullptr);
        nameEdit->setText("\"x.MbOx\" \"a.mbox\"");
        static_cast<QDialog*>(dialog)->accept();
    });
    // Should the dialog not close (a failed step, a question it asks), end every modal
    // window so that the test fails instead of hanging.
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [] {
        while (QWidget* modal = QApplication::activeModalWidget())
            if (auto* asDialog = qobject_cast<QDialog*>(modal))
                asDialog->reject();
            else
                modal->close();
    });
    guard.start(8000);
    QtDialogs dialogs;
    QStringList chosen = dialogs.openFiles(
        nullptr, {{"MBOX Files (*.mbox,*.mbx)", {"*.mbox", "*.mbx"}}, {"All files (*)", {"*"}}});
    offered.sort();
    EXPECT_EQ(offered, (QStringList{"B.MBX", "a.mbox", "x.MbOx"}));
    EXPECT_THAT(chosen, ::testing::UnorderedElementsAre(folder + "/x.MbOx", folder + "/a.mbox"));
}

TEST(QtDialogsOpenFiles, ShowsTheFilterDescriptionsAsWritten) {
    QStringList filters = OpenDialogNameFilters(
        {{"MBOX Files (*.mbox,*.mbx)", {"*.mbox", "*.mbx"}}, {"All files (*)", {"*"}}});
    QFileDialog dialog;
    dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
    dialog.setNameFilters(filters);
    auto* combo = dialog.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->itemText(0), "MBOX Files (*.mbox,*.mbx)");
    EXPECT_EQ(combo->itemText(1), "All files (*)");
}
