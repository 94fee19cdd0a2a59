#include "app/frmStep1.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <cmath>
#include <fstream>
#include <regex>

#include "mailboxlist/mailbox_grid.h"
#include "shell/scripted_dialogs.h"

using namespace quill;

namespace {

class Window : public ::testing::Test {
  protected:
    ScriptedDialogs dialogs;
    frmStep1 w{dialogs};
};

QRect ClientRect(frmStep1& w, QWidget* control) {
    return QRect(control->mapTo(&w, QPoint(0, 0)), control->size());
}

// Lets queued events run (a queued close, a repaint) for a moment.
void Settle(int ms = 50) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

}  // namespace

// Where each control sits is stated once, in the code that places it; what the layout can get
// wrong is a caption that does not fit or a control that covers another.
TEST_F(Window, StartsWithEveryCaptionFittingItsControlAndNothingOverlapping) {
    EXPECT_EQ(w.windowTitle(), "Quillmere");
    EXPECT_EQ(w.minimumSize(), w.maximumSize());  // fixed
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_FALSE(w.Image2->pixmap().isNull());
    EXPECT_EQ(w.focusWidget(), w.cmdAdd);
    EXPECT_FALSE(w.CmdConvert->isEnabled());
    for (QAbstractButton* button : w.findChildren<QAbstractButton*>()) {
        QString shown = button->text().remove('&');
        int room = button->width() - (qobject_cast<QRadioButton*>(button) ? 20 : 8);
        EXPECT_LE(button->fontMetrics().horizontalAdvance(shown), room) << shown.toStdString();
        EXPECT_TRUE(w.rect().contains(ClientRect(w, button))) << shown.toStdString();
    }
    for (QLabel* label : {w.Label1, w.Label2, w.Label4, w.LblProgress})
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
            << label->text().toStdString();
    QWidget* const placed[] = {w.cmdAdd, w.CmdAddFolder, w.cmdClear1, w.grdFiles1,
                               w.Frame1, w.CmdConvert,   w.CmdHelp,   w.cmdEnd};
    for (QWidget* a : placed)
        for (QWidget* b : placed) {
            if (a == b) continue;
            EXPECT_FALSE(ClientRect(w, a).intersects(ClientRect(w, b)))
                << a->metaObject()->className() << " " << b->metaObject()->className();
        }
}

TEST_F(Window, OptionsFormOneGroupThatTheProgramCanClear) {
    w.OptPST->click();
    EXPECT_EQ(w.ChosenOutputKind(), OutputKind::PST);
    w.OptEML->click();
    EXPECT_TRUE(w.OptEML->isChecked());
    EXPECT_FALSE(w.OptPST->isChecked());
    EXPECT_EQ(w.ChosenOutputKind(), OutputKind::EML);
    w.OptEML->click();  // clicking the chosen one keeps it chosen
    EXPECT_EQ(w.ChosenOutputKind(), OutputKind::EML);

    w.ClearOutputOptions();
    EXPECT_EQ(w.ChosenOutputKind(), OutputKind::None);
    for (QRadioButton* option : {w.OptEML, w.OptEMLX, w.OptPST, w.OptMSG})
        EXPECT_FALSE(option->isChecked());
    // Still one group after clearing.
    w.OptMSG->click();
    w.OptEMLX->click();
    EXPECT_EQ(w.ChosenOutputKind(), OutputKind::EMLX);
    EXPECT_FALSE(w.OptMSG->isChecked());
}

TEST_F(Window, ExitAnsweredNoKeepsEverythingAndTheCloseBoxAsksNothing) {
    w.show();
    w.AddMailboxFile("/mail/a.mbox");
    w.OptPST->click();
    dialogs.answers = {MsgAnswer::No};
    w.cmdEnd->click();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "Are you sure you want to exit now?");
    EXPECT_EQ(dialogs.boxes[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(dialogs.boxes[0].icon, MsgIcon::Question);
    EXPECT_EQ(dialogs.boxes[0].title, "Quillmere");
    Settle();
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.grdFiles1->text(0), "/mail/a.mbox");
    EXPECT_EQ(w.ChosenOutputKind(), OutputKind::PST);

    EXPECT_TRUE(w.close());  // the window's close box ends at once, without a question
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(dialogs.boxes.size(), 1u);
}

TEST_F(Window, ExitAnsweredYesEndsTheProgram) {
    w.show();
    dialogs.answers = {MsgAnswer::Yes};
    bool timedOut = false;
    QTimer::singleShot(0, w.cmdEnd, &QPushButton::click);
    QTimer guard;  // a guard against a hang, not a measure
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        timedOut = true;
        QApplication::quit();
    });
    guard.start(5000);
    QApplication::exec();  // returns once the last window is gone
    EXPECT_FALSE(timedOut);
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(dialogs.boxes.size(), 1u);
}

TEST_F(Window, ClosingDuringLongWorkCancelsItAndClosesAfterwards) {
    w.show();
    {
        frmStep1::RunScope run(w);
        EXPECT_FALSE(w.close());  // refused while the work holds the window
        EXPECT_TRUE(w.isVisible());
        EXPECT_TRUE(w.cancelRequested());
        w.yieldNow();
        EXPECT_TRUE(w.isVisible());
    }
    Settle();
    EXPECT_FALSE(w.isVisible());
}

TEST_F(Window, HelpOpensTheManual) {
    QStringList opened;
    w.setDocumentOpener([&](const QString& target) { opened << target; });
    w.CmdHelp->click();
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0], frmStep1::ManualPath());
    QFileInfo manual(opened[0]);
    EXPECT_TRUE(manual.isFile()) << opened[0].toStdString();
    EXPECT_EQ(manual.fileName(), "manual.html");
    EXPECT_TRUE(dialogs.boxes.empty());
}

// Every text the manual quotes as the program's own (<samp>; <var> and digits stand for what
// varies) is in the program, as 8-bit or as UTF-16 text.
TEST(Manual, QuotesOnlyTextsTheProgramHas) {
    auto read = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string program = read(QUILL_BIN_DIR "/quillmere");
    ASSERT_FALSE(program.empty());
    const std::string html = read(frmStep1::ManualPath().toStdString());
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

TEST(ManualPath, PrefersTheCopyBesideTheExecutable) {
    QTemporaryDir installed, source;
    QDir(source.path()).mkpath("docs");
    QFile(source.path() + "/docs/manual.html").open(QIODevice::WriteOnly);
    // From a build folder: the source tree's copy.
    EXPECT_EQ(frmStep1::ManualPath(installed.path(), source.path()),
              QFileInfo(source.path() + "/docs/manual.html").canonicalFilePath());
    // Installed on Linux: <prefix>/bin and <prefix>/share/doc/quillmere.
    QDir(installed.path()).mkpath("bin");
    QDir(installed.path()).mkpath("share/doc/quillmere");
    QFile(installed.path() + "/share/doc/quillmere/manual.html").open(QIODevice::WriteOnly);
    EXPECT_EQ(frmStep1::ManualPath(installed.path() + "/bin", source.path()),
              QFileInfo(installed.path() + "/share/doc/quillmere/manual.html").canonicalFilePath());
    // Beside the executable wins.
    QFile(installed.path() + "/bin/manual.html").open(QIODevice::WriteOnly);
    EXPECT_EQ(frmStep1::ManualPath(installed.path() + "/bin", source.path()),
              QFileInfo(installed.path() + "/bin/manual.html").canonicalFilePath());
}

TEST_F(Window, ServesTheCoreAsItsFrontEnd) {
    Frontend& front = w;
    struct CaptionRow {
        Caption caption;
        QLabel* label;
        const char* text;
    } captions[] = {{Caption::LblProgessCurrent, w.LblProgessCurrent, "Mailbox 2 (of 3) "},
                    {Caption::LblIMMFile, w.LblIMMFile, "<b>Inbox</b>.mbox"},
                    {Caption::LblHappening, w.LblHappening, "Searching for messages..."},
                    {Caption::LblEmlsFound, w.LblEmlsFound, "12 Messages"},
                    {Caption::LblProgress, w.LblProgress, "Saved Email-3.eml"}};
    for (const CaptionRow& row : captions) {
        front.setCaption(row.caption, row.text);
        EXPECT_EQ(row.label->text(), row.text);
        EXPECT_EQ(row.label->textFormat(), Qt::PlainText) << row.text;  // shown as written
    }

    struct BarRow {
        Bar bar;
        double percent;
        int shown;
    } bars[] = {{Bar::ProgressBar1, 33.333, 33}, {Bar::ProgressBar1, 66.67, 67},
                {Bar::ProgressBar2, 100.0, 100}, {Bar::ProgressBar2, 250.0, 100},
                {Bar::ProgressBar2, -3.0, 0},    {Bar::ProgressBar1, std::nan(""), 0}};
    for (const BarRow& row : bars) {
        front.setBar(row.bar, row.percent);
        QProgressBar* bar = row.bar == Bar::ProgressBar1 ? w.ProgressBar1 : w.ProgressBar2;
        EXPECT_EQ(bar->value(), row.shown) << row.percent;
    }

    dialogs.answers = {MsgAnswer::Yes};
    EXPECT_EQ(front.messageBox("Line one\rLine two\r\nLine three", MsgButtons::YesNo,
                               MsgIcon::Exclamation, "! ERROR !"),
              MsgAnswer::Yes);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "Line one\nLine two\nLine three");
    EXPECT_EQ(dialogs.boxes[0].title, "! ERROR !");
    EXPECT_EQ(dialogs.boxes[0].icon, MsgIcon::Exclamation);
    front.beep();
    EXPECT_EQ(dialogs.beeps, 1);

    dialogs.folders = {"/out/put"};
    EXPECT_EQ(front.browseFolder("Choose Folder to Save..."), "/out/put");
    EXPECT_EQ(dialogs.folderPrompts, QStringList{"Choose Folder to Save..."});
    EXPECT_FALSE(front.cancelRequested());
}
