// The main window, driven headless with scripted dialogs: its exit, help and manual, the front
// end it gives the core, and its mailbox list (picking files, clearing, importing).
#include "app/frmStep1.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>

#include <climits>
#include <cmath>
#include <regex>

#include "mailboxlist/mailbox_grid.h"
#include "shell/scripted_dialogs.h"
#include "support/files.h"
#include "support/scratch_dir.h"

using namespace quill;
using quill::testing::ScratchDir;
using quill::testing::WriteFile;

namespace {

// Below `path`, folders nested so deep that the deepest one's path is longer than the system's
// path limit: it exists but cannot be listed by path, even by root. Returns the path of the
// first that cannot be listed, as folders are listed: with a trailing separator.
std::string TooDeepFolders(std::string path) {
    std::filesystem::create_directories(path);
    const std::string name(200, 'd');
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    while (fd >= 0 && path.size() + 1 < PATH_MAX) {
        ::mkdirat(fd, name.c_str(), 0755);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        path += "/" + name;
    }
    if (fd >= 0) ::close(fd);
    return path + "/";
}

class Window : public ::testing::Test {
  protected:
    ScriptedDialogs dialogs;
    frmStep1 w{dialogs};

    using Rows = std::vector<std::string>;
    void Pick(const QStringList& files) {
        dialogs.fileSelections.push_back(files);
        w.cmdAdd->click();
    }
    void ImportFolder(const std::string& folder) {
        dialogs.folders.push_back(QString::fromStdString(folder));
        w.CmdAddFolder->click();
    }
    // Box i, with the program's title.
    void ExpectBox(size_t i, const QString& text, MsgButtons buttons, MsgIcon icon) {
        ASSERT_GT(dialogs.boxes.size(), i);
        EXPECT_EQ(dialogs.boxes[i].text, text);
        EXPECT_EQ(dialogs.boxes[i].buttons, buttons);
        EXPECT_EQ(dialogs.boxes[i].icon, icon);
        EXPECT_EQ(dialogs.boxes[i].title, "Quillmere");
    }
};

}  // namespace

// Exit asks first: No keeps the window, Yes closes it, and the close asks nothing more.
TEST_F(Window, ExitAsksFirstAndTheCloseDoesNot) {
    w.show();
    dialogs.answers = {MsgAnswer::No, MsgAnswer::Yes};
    w.cmdEnd->click();
    ExpectBox(0, "Are you sure you want to exit now?", MsgButtons::YesNo, MsgIcon::Question);
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.isVisible());
    w.cmdEnd->click();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(dialogs.boxes.size(), 2u);  // the close that follows asks nothing more
}

// Help opens the manual. The copy beside the program is preferred to an installed one (Linux:
// <prefix>/bin and <prefix>/share/doc/quillmere), and that to the source tree's.
TEST_F(Window, HelpOpensTheManualNearestTheProgram) {
    QStringList opened;
    w.setDocumentOpener([&](const QString& target) { opened << target; });
    w.CmdHelp->click();
    EXPECT_EQ(opened, QStringList{frmStep1::ManualPath()});

    ScratchDir scratch;  // the prefix of an installed program, and src a source tree
    const QString root = QString::fromStdString(scratch.path().string());
    std::filesystem::create_directories(scratch.path() / "bin");
    for (const char* manual :
         {"/src/docs/manual.html", "/share/doc/quillmere/manual.html", "/bin/manual.html"}) {
        WriteFile((root + manual).toStdString(), "");
        EXPECT_EQ(frmStep1::ManualPath(root + "/bin", root + "/src"), root + manual);
    }
}

// Every text the manual quotes as the program's own (<samp>; <var> and digits stand for what
// varies) is in the program, as 8-bit or as UTF-16 text.
TEST(Manual, QuotesOnlyTextsTheProgramHas) {
    const std::string program = quill::testing::ReadFile(QUILL_BIN_DIR "/quillmere");
    ASSERT_FALSE(program.empty());
    const std::string html = quill::testing::ReadFile(frmStep1::ManualPath().toStdString());
    const std::regex quoted("<samp>([\\s\\S]*?)</samp>"), varying("<var>[^<]*</var>|[0-9]+");
    const std::regex blanks("\\s+"), gt("&gt;");
    size_t quotes = 0;
    for (std::sregex_iterator q(html.begin(), html.end(), quoted), end; q != end; ++q, ++quotes) {
        const std::string text = (*q)[1];
        std::sregex_token_iterator piece(text.begin(), text.end(), varying, -1), none;
        for (; piece != none; ++piece) {
            const std::string wanted =
                std::regex_replace(std::regex_replace(piece->str(), blanks, " "), gt, ">");
            if (wanted.find_first_not_of(' ') == std::string::npos) continue;
            std::string utf16;
            for (char c : wanted) utf16 += {c, '\0'};
            EXPECT_TRUE(program.find(wanted) != std::string::npos ||
                        program.find(utf16) != std::string::npos)
                << "\"" << wanted << "\" of " << text;
        }
    }
    EXPECT_GT(quotes, 30u);
}

// What the core's runs do not show: a name in a caption is never read as markup, the bars
// stay within their range, and a box's CR line ends become the toolkit's.
TEST_F(Window, ServesTheCoreAsItsFrontEnd) {
    Frontend& front = w;
    front.setCaption(Caption::LblIMMFile, "<b>Inbox</b>.mbox");
    EXPECT_EQ(w.LblIMMFile->text(), "<b>Inbox</b>.mbox");
    EXPECT_EQ(w.LblIMMFile->textFormat(), Qt::PlainText);
    for (auto [bar, percent, shown] : {std::tuple{w.ProgressBar1, 66.67, 67},
                                       {w.ProgressBar2, 250.0, 100},
                                       {w.ProgressBar2, -3.0, 0},
                                       {w.ProgressBar1, std::nan(""), 0}}) {
        front.setBar(bar == w.ProgressBar1 ? Bar::ProgressBar1 : Bar::ProgressBar2, percent);
        EXPECT_EQ(bar->value(), shown) << percent;
    }
    front.messageBox("Line one\rLine two\r\nLine three", MsgButtons::Ok, MsgIcon::None, "");
    EXPECT_EQ(dialogs.boxes.at(0).text, "Line one\nLine two\nLine three");
}

TEST_F(Window, PickedFilesAreAddedInTheDialogsOrderAndClearedAfterAQuestion) {
    Pick({});              // cancelled
    w.cmdClear1->click();  // on the empty list: no question
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_FALSE(w.CmdConvert->isEnabled());

    Pick({"/mail/a.mbox"});                 // fills the empty first row
    Pick({"/mail/b.mbx", "/mail/a.mbox"});  // the same path twice is fine
    EXPECT_EQ(w.MailboxPaths(), (Rows{"/mail/a.mbox", "/mail/b.mbx", "/mail/a.mbox"}));
    EXPECT_EQ(w.lblCount1->text(), "3 files");
    EXPECT_TRUE(w.CmdConvert->isEnabled());
    const QList<FileFilter>& filters = dialogs.openDialogs.at(0);
    ASSERT_EQ(filters.size(), 2);
    EXPECT_EQ(filters[0].description + filters[0].patterns.join('|'),
              "MBOX Files (*.mbox,*.mbx)*.mbox|*.mbx");
    EXPECT_EQ(filters[1].description + filters[1].patterns.join('|'), "All files (*)*");

    dialogs.answers = {MsgAnswer::No, MsgAnswer::Yes};
    w.cmdClear1->click();
    EXPECT_EQ(w.MailboxPaths().size(), 3u);  // No keeps every row
    w.cmdClear1->click();
    ExpectBox(1, "Do you want to clear all the files in the list\n Proceed?", MsgButtons::YesNo,
              MsgIcon::Question);
    EXPECT_EQ(w.MailboxPaths(), Rows{""});  // the empty list is one empty row
    EXPECT_EQ(w.lblCount1->text(), "0 files");
    EXPECT_TRUE(w.CmdConvert->isEnabled());  // clearing leaves Convert as it was
}

// Which names are mailboxes, and the walk's order, are the mailbox search's own tests; here
// the window's part: rows, the count, the warning naming what could not be read, Convert.
TEST_F(Window, FolderImportAddsTheMailboxesFoundNamesUnreadableFoldersAndStopsOnClose) {
    ScratchDir scratch;
    const std::string root = scratch.path().string();
    for (const char* name : {"a.mbox", "c.txt", "z/z.mbox"})
        WriteFile(root + "/" + name, "From a\n");
    const std::string tooDeep = TooDeepFolders(root + "/deep");
    w.CmdAddFolder->click();  // no folder chosen: cancelled
    ImportFolder(root);       // without a trailing separator
    EXPECT_EQ(w.MailboxPaths(), (Rows{root + "/a.mbox", root + "/z/z.mbox"}));
    EXPECT_TRUE(w.CmdConvert->isEnabled());
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    ExpectBox(0, "2 Files Added to List.", MsgButtons::Ok, MsgIcon::None);
    EXPECT_EQ(dialogs.boxes[1].icon, MsgIcon::Exclamation);
    EXPECT_TRUE(dialogs.boxes[1].text.contains(QString::fromStdString(tooDeep)))
        << dialogs.boxes[1].text.toStdString();
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the wait cursor is gone

    // A folder without mailboxes: Convert is disabled, though rows are listed.
    ImportFolder(root + "/deep");
    EXPECT_EQ(w.MailboxPaths().size(), 2u);
    EXPECT_FALSE(w.CmdConvert->isEnabled());
    ExpectBox(2, "0 Files Added to List.", MsgButtons::Ok, MsgIcon::None);

    // Closing the window at the first yield of an import ends it, without a count box.
    w.setYieldBudget(std::chrono::milliseconds(0));
    w.show();
    QTimer::singleShot(0, &w, [&] { w.close(); });
    ImportFolder(root);
    EXPECT_TRUE(w.cancelRequested());
    EXPECT_EQ(dialogs.boxes.size(), 4u);  // none since the last import's count and warning
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    QApplication::processEvents();  // a close that waited for the import
    EXPECT_FALSE(w.isVisible());
}

// The real Open dialog: the filters' captions shown as written, several files chosen at
// once, with their full paths. (Qt's own dialog matches the patterns ignoring case.)
TEST(QtDialogsOpenFiles, ShowsTheFiltersAsWrittenAndReturnsFullPaths) {
    ScratchDir scratch;
    const std::string root = scratch.path().string();
    for (const char* name : {"a.mbox", "x.MbOx", "c.txt"}) WriteFile(root + "/" + name, "From a\n");
    const QString folder = QString::fromStdString(root);
    QStringList described;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        auto* combo = dialog->findChild<QComboBox*>("fileTypeCombo");
        for (int i = 0; combo && i < combo->count(); ++i) described << combo->itemText(i);
        dialog->setDirectory(folder);
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText("\"x.MbOx\" \"a.mbox\"");
        static_cast<QDialog*>(dialog)->accept();
    });
    // Should the dialog not close (a failed step, a question it asks), end every modal
    // window so that the test fails instead of hanging.
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [] {
        while (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });
    guard.start(8000);
    QtDialogs dialogs;
    QStringList chosen = dialogs.openFiles(
        nullptr, {{"MBOX Files (*.mbox,*.mbx)", {"*.mbox", "*.mbx"}}, {"All files (*)", {"*"}}});
    EXPECT_EQ(described, (QStringList{"MBOX Files (*.mbox,*.mbx)", "All files (*)"}));
    EXPECT_THAT(chosen, ::testing::UnorderedElementsAre(folder + "/x.MbOx", folder + "/a.mbox"));
}
