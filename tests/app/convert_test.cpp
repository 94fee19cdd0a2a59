// The Convert button: the conversion run in the real window, driven headless.

#include <gtest/gtest.h>
#include <QApplication>
#include <QTimer>

#include <filesystem>

#include "app/frmStep1.h"
#include "convert/message_text.h"
#include "mailboxlist/temp_tree.h"
#include "shell/scripted_dialogs.h"
#include "support/files.h"

using namespace quill;
using quill::testing::ReadFile;
using quill::testing::TempTree;
namespace fs = std::filesystem;

namespace {

class Convert : public ::testing::Test {
  protected:
    void SetUp() override {
        lf = file("in/lf.mbox", "From a\nSubject: 1\n\nbody\nFrom b\nSubject: 2\n\nx\n");
        crlf = file("in/crlf.mbox", "From c\r\nX: 1\r\n\r\nhi\r\n");
        none = file("in/none.mbx", "no message in here\n");
        tree.Folder("out");
        out = tree.root() / "out";
        for (const auto& p : {lf, crlf, none}) w.AddMailboxFile(QString::fromStdString(p.string()));
        w.setConvertEnabled(true);  // as after picking the files
    }
    fs::path outFor(const fs::path& mailbox) { return out / mailbox.relative_path(); }
    fs::path file(const std::string& relative, const std::string& content) {
        tree.File(relative, content);
        return tree.root() / relative;
    }

    TempTree tree{"convert"};
    fs::path lf, crlf, none, out;
    ScriptedDialogs dialogs;
    frmStep1 w{dialogs};
};

}  // namespace

TEST_F(Convert, ThreeMailboxesEndWithTheSuccessBoxAndNoOptionChosen) {
    w.OptEML->setChecked(true);
    dialogs.folders.push_back(QString::fromStdString(out.string()));
    bool disabledDuringRun = false;
    dialogs.onMessageBox = [&](const ScriptedDialogs::ShownBox&) {
        disabledDuringRun = !w.CmdConvert->isEnabled();
    };
    w.CmdConvert->click();

    EXPECT_EQ(dialogs.folderPrompts, QStringList{"Choose Folder to Save..."});
    EXPECT_TRUE(disabledDuringRun);
    // In the folder chosen; what the files hold is the run's own test.
    EXPECT_TRUE(fs::exists(outFor(lf) / "Email-1.eml"));
    EXPECT_TRUE(fs::exists(outFor(crlf) / "Email-0.eml"));
    // Labels and bars keep the last mailbox's state.
    EXPECT_EQ(w.LblProgessCurrent->text(), "Mailbox 3 (of 3) ");
    EXPECT_EQ(w.LblIMMFile->text(), "none.mbx");
    EXPECT_EQ(w.LblEmlsFound->text(), "0 Messages");
    EXPECT_EQ(w.ProgressBar1->value(), 100);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].title, "Quillmere");
    EXPECT_EQ(dialogs.boxes[0].icon, MsgIcon::Exclamation);
    EXPECT_TRUE(dialogs.boxes[0].text.startsWith(
        "Your messages from MBOX files has been successfully exported."));
    EXPECT_TRUE(dialogs.boxes[0].text.endsWith("\n\nNo message was found in:\n" +
                                               QString::fromStdString(none.string())))
        << dialogs.boxes[0].text.toStdString();
    EXPECT_TRUE(w.CmdConvert->isEnabled());
    EXPECT_EQ(w.ChosenOutputKind(), OutputKind::None);
}

// One run at a time: files added or imported during a run wait for the next one and leave
// Convert off, and Convert's handler, however called, starts nothing. A second run inside
// the first would end the first one's search and cut its mailbox at the wrong places.
TEST_F(Convert, DuringARunTheListChangesButNoSecondRunStarts) {
    std::string big;
    std::vector<std::string> messages;
    for (int i = 0; i < 3000; ++i) {
        messages.push_back("From x\nSubject: " + std::to_string(i) + "\n\nbody\n");
        big += messages.back();
    }
    fs::path large = file("in/large.mbox", big);
    w.ClearMailboxList();
    w.AddMailboxFile(QString::fromStdString(large.string()));
    w.setYieldBudget(std::chrono::milliseconds(0));
    w.OptEMLX->setChecked(true);
    dialogs.folders.push_back(QString::fromStdString(out.string()));
    std::vector<bool> convertEnabled;
    QTimer during;  // acts once, while the first mailbox is searched
    QObject::connect(&during, &QTimer::timeout, [&] {
        if (!w.LblHappening->text().startsWith("Searching for messages...")) return;
        during.stop();
        dialogs.fileSelections.push_back({QString::fromStdString(lf.string())});
        w.cmdAdd->click();
        convertEnabled.push_back(w.CmdConvert->isEnabled());
        dialogs.folders.push_back(QString::fromStdString((tree.root() / "in").string()));
        w.CmdAddFolder->click();
        convertEnabled.push_back(w.CmdConvert->isEnabled());
        dialogs.folders.push_back(QString::fromStdString(out.string()));
        w.CmdConvert->click();
        w.CmdConvert_Click();
        w.OptPST->setChecked(true);
    });
    during.start(0);
    w.CmdConvert->click();

    EXPECT_EQ(convertEnabled, (std::vector<bool>{false, false}));
    EXPECT_EQ(dialogs.folderPrompts,
              (QStringList{"Choose Folder to Save...", "Choose Source Folder..."}));
    EXPECT_EQ(w.lblCount1->text(), "6 files");  // 1 + the picked file + 4 imported
    EXPECT_FALSE(fs::exists(outFor(lf)));
    for (size_t k = 0; k < messages.size(); ++k)
        ASSERT_EQ(ReadFile(outFor(large) / ("Email-" + std::to_string(k) + ".emlx")),
                  MessageFileText(messages[k]))
            << k;
    EXPECT_FALSE(
        fs::exists(outFor(large) / ("Email-" + std::to_string(messages.size()) + ".emlx")));
    int endBoxes = 0;
    for (const auto& box : dialogs.boxes) endBoxes += box.text.startsWith("Your messages");
    EXPECT_EQ(endBoxes, 1);
    EXPECT_TRUE(w.CmdConvert->isEnabled());
    EXPECT_EQ(w.ChosenOutputKind(), OutputKind::None);
}

TEST_F(Convert, ClosingTheWindowDuringARunEndsItAndThenTheWindow) {
    std::string big;
    for (int i = 0; i < 20000; ++i) big += "From x\nSubject: " + std::to_string(i) + "\n\nbody\n";
    fs::path large = file("in/large.mbox", big);
    w.ClearMailboxList();
    w.AddMailboxFile(QString::fromStdString(large.string()));
    w.AddMailboxFile(QString::fromStdString(lf.string()));
    w.setYieldBudget(std::chrono::milliseconds(0));
    w.show();
    w.OptEML->setChecked(true);
    dialogs.folders.push_back(QString::fromStdString(out.string()));
    QTimer::singleShot(0, &w, [&] { w.close(); });
    w.CmdConvert->click();
    QApplication::processEvents();  // the close that waited for the run

    // The run stopped (what it leaves behind is the run's own test), then the window closed.
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_FALSE(fs::exists(outFor(lf)));  // the second mailbox was never started
}

// A message file that cannot be written ends an MSG run in the window on the Outlook box, its
// line ends shown as line breaks, with the window's address of the manual. (The box's text
// and the run's end are the run's own test.)
TEST_F(Convert, MsgRunEndsOnTheOutlookBoxWhenAFileCannotBeWritten) {
    fs::create_directories(outFor(lf) / "Email-0.msg" / "inside");
    w.OptMSG->setChecked(true);
    dialogs.folders.push_back(QString::fromStdString(out.string()));
    w.CmdConvert->click();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].title, "Outlook Error");
    QString text = dialogs.boxes[0].text;
    QStringList lines = text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).split('\n');
    ASSERT_EQ(lines.size(), 3) << dialogs.boxes[0].text.toStdString();
    EXPECT_EQ(lines[0], "Outlook Session Creation Error !");
    EXPECT_TRUE(lines[1].contains(QString::fromStdString((outFor(lf) / "Email-0.msg").string())))
        << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith("For more details visit this link : file://"));
    EXPECT_TRUE(lines[2].endsWith("manual.html#troubleshooting")) << lines[2].toStdString();
}
