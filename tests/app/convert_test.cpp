// The Convert button: the conversion run in the real window, driven headless.

#include <gtest/gtest.h>
#include <QApplication>
#include <QTimer>

#include "app/frmStep1.h"
#include "convert/message_text.h"
#include "shell/scripted_dialogs.h"
#include "support/front_end_cases.h"

using namespace quill;
using namespace quill::testing;
namespace fs = std::filesystem;

namespace {

// The window as a front end of the shared run cases: a fresh window for each run, its
// options and list set as a user sets them.
struct WindowFrontEnd {
    static constexpr bool kRefuses = true, kCloses = true;
    Ending convert(OutputKind kind, const std::vector<std::string>& rows, const std::string& output,
                   bool closeDuringRun) {
        ScriptedDialogs dialogs;
        frmStep1 w{dialogs};
        for (const std::string& row : rows) w.AddMailboxFile(QString::fromStdString(row));
        w.setConvertEnabled(true);
        if (kind != OutputKind::None) w.OutputOptions->button(int(kind))->setChecked(true);
        dialogs.folders.push_back(QString::fromStdString(output));
        if (closeDuringRun) {
            w.setYieldBudget(std::chrono::milliseconds(0));
            w.show();
            QTimer::singleShot(0, &w, [&] { w.close(); });
        }
        w.CmdConvert->click();
        QApplication::processEvents();  // a close that waited for the run
        EXPECT_TRUE(closeDuringRun ? !w.isVisible() : w.CmdConvert->isEnabled());
        Ending e;
        for (const auto& box : dialogs.boxes)
            e.add(box.title.toStdString(), box.text.toStdString());
        e.optionKept = w.ChosenOutputKind() == kind;
        return e;
    }
};

}  // namespace

namespace quill::testing {
INSTANTIATE_TYPED_TEST_SUITE_P(Window, FrontEndCases, WindowFrontEnd);
}

// One run at a time: files added or imported during a run wait for the next one and leave
// Convert off, and Convert's handler, however called, starts nothing. A second run inside
// the first would end the first one's search and cut its mailbox at the wrong places.
TEST(Convert, DuringARunTheListChangesButNoSecondRunStarts) {
    ScratchDir scratch;
    const fs::path& root = scratch.path();
    std::string big;
    std::vector<std::string> messages;
    for (int i = 0; i < 3000; ++i) {
        messages.push_back("From x\nSubject: " + std::to_string(i) + "\n\nbody\n");
        big += messages.back();
    }
    const fs::path large = root / "in/large.mbox", small = root / "in/small.mbox";
    WriteFile(large, big);
    WriteFile(small, "From a\nX: 1\n");
    fs::create_directories(root / "out");
    auto outFor = [&](const fs::path& mailbox) { return root / "out" / mailbox.relative_path(); };
    ScriptedDialogs dialogs;
    frmStep1 w{dialogs};
    w.AddMailboxFile(QString::fromStdString(large.string()));
    w.setConvertEnabled(true);
    w.setYieldBudget(std::chrono::milliseconds(0));
    w.OptEMLX->setChecked(true);
    dialogs.folders.push_back(QString::fromStdString((root / "out").string()));
    std::vector<bool> convertEnabled;
    QTimer during;  // acts once, while the first mailbox is searched
    QObject::connect(&during, &QTimer::timeout, [&] {
        if (!w.LblHappening->text().startsWith("Searching for messages...")) return;
        during.stop();
        dialogs.fileSelections.push_back({QString::fromStdString(small.string())});
        w.cmdAdd->click();
        convertEnabled.push_back(w.CmdConvert->isEnabled());
        dialogs.folders.push_back(QString::fromStdString((root / "in").string()));
        w.CmdAddFolder->click();
        convertEnabled.push_back(w.CmdConvert->isEnabled());
        dialogs.folders.push_back(QString::fromStdString((root / "out").string()));
        w.CmdConvert->click();
        w.CmdConvert_Click();
        w.OptPST->setChecked(true);
    });
    during.start(0);
    w.CmdConvert->click();

    EXPECT_EQ(convertEnabled, (std::vector<bool>{false, false}));
    EXPECT_EQ(dialogs.folderPrompts,
              (QStringList{"Choose Folder to Save...", "Choose Source Folder..."}));
    EXPECT_EQ(w.lblCount1->text(), "4 files");  // 1 + the picked file + 2 imported
    EXPECT_FALSE(fs::exists(outFor(small)));
    for (size_t k = 0; k < messages.size(); ++k)
        ASSERT_EQ(ReadFile(outFor(large) / ("Email-" + std::to_string(k) + ".emlx")),
                  MessageFileText(messages[k]))
            << k;
    ASSERT_EQ(dialogs.boxes.size(), 2u);  // the import's count, then the one end box
    EXPECT_TRUE(dialogs.boxes[1].text.startsWith("Your messages"));
    EXPECT_EQ(w.ChosenOutputKind(), OutputKind::None);
}
