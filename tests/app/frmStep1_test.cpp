#include "app/frmStep1.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFontInfo>
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

TEST_F(Window, StartsWithEveryControlInPlaceWithItsCaption) {
    EXPECT_EQ(w.windowTitle(), "Quillmere");
    EXPECT_EQ(w.size(), QSize(599, 586));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());  // fixed
    EXPECT_FALSE(w.windowIcon().isNull());

    struct Row {
        QWidget* control;
        int left, top, width, height;  // twips, from the client area
        const char* caption;           // nullptr: no caption to check
    } rows[] = {
        {w.Image2, 0, 0, 9000, 1275, nullptr},
        {w.cmdAdd, 240, 1440, 2535, 375, "Select (.mbox) file(s)..."},
        {w.CmdAddFolder, 3000, 1440, 3375, 375, "Select folder having (.mbox) file(s)..."},
        {w.cmdClear1, 7440, 1440, 1335, 375, "Clear file(s)..."},
        {w.lblCount1, 270, 1920, 8535, 255, "0 files"},
        {w.grdFiles1, 240, 2160, 8535, 1575, nullptr},
        {w.Frame1, 240, 3840, 8535, 1695, " I want to convert mbox mailbox messages to"},
        {w.Picture1, 360, 4080, 8295, 1335, nullptr},
        {w.OptEML, 360, 4080, 8055, 255,
         "(.eml) files          -     (Supported by Outlook Express, Windows Mail, Windows Live "
         "Mail)"},
        {w.OptEMLX, 360, 4440, 8295, 255,
         "(.emlx) files        -     (Supported by Mac OS X ) Tiger Mail "},
        {w.OptPST, 360, 4800, 8055, 255, "(.pst) files          -     (Supported by MS Outlook)"},
        {w.OptMSG, 360, 5160, 8055, 255,
         "(.msg) files         -     (Supported by MS Outlook, Document Management Software, "
         "Forensic Tools)"},
        {w.Label4, 240, 5595, 1815, 255, "Converting Messages..."},
        {w.LblHappening, 2040, 5595, 6735, 255, ""},
        {w.LblProgessCurrent, 600, 5880, 8175, 255, "Mailbox  0 (of 0)"},
        {w.Label1, 600, 6120, 1335, 255, "Reading          :"},
        {w.LblIMMFile, 1920, 6120, 6855, 255, ""},
        {w.ProgressBar2, 600, 6360, 8175, 255, nullptr},
        {w.Label2, 600, 6645, 1335, 255, "Emails Found :"},
        {w.LblEmlsFound, 1920, 6645, 6855, 255, ""},
        {w.Image3, 600, 6855, 240, 240, nullptr},
        {w.LblProgress, 960, 6855, 7815, 255, "Saving :"},
        {w.ProgressBar1, 240, 7200, 8535, 255, nullptr},
        {w.CmdConvert, 3120, 7560, 2775, 435, "Convert"},
        {w.Shape1, 0, 8160, 9015, 855, nullptr},
        {w.Picture3, 240, 8280, 8655, 495, nullptr},
        {w.CmdHelp, 240, 8280, 1695, 375, "&Help Manual"},
        {w.cmdEnd, 7440, 8280, 1335, 375, "E&xit"},
    };
    for (const Row& row : rows) {
        QString name = row.control->metaObject()->className();
        if (auto* label = qobject_cast<QLabel*>(row.control)) name += " " + label->text();
        EXPECT_EQ(ClientRect(w, row.control),
                  QRect(qRound(row.left / 15.0), qRound(row.top / 15.0), qRound(row.width / 15.0),
                        qRound(row.height / 15.0)))
            << name.toStdString();
        if (!row.caption) continue;
        QString caption;
        if (auto* button = qobject_cast<QAbstractButton*>(row.control)) caption = button->text();
        if (auto* label = qobject_cast<QLabel*>(row.control)) caption = label->text();
        if (auto* frame = qobject_cast<QGroupBox*>(row.control)) caption = frame->title();
        EXPECT_EQ(caption, QString::fromUtf8(row.caption));
    }
    EXPECT_EQ(ClientRect(w, w.Line1), QRect(0, 85, 600, 1));
    EXPECT_FALSE(w.Image2->pixmap().isNull());
    EXPECT_EQ(w.Image2->pixmap().size(), QSize(600, 85));
    EXPECT_EQ(w.Image3->pixmap().size(), QSize(16, 16));
}

TEST_F(Window, StartStateColoursAndFont) {
    // The empty list, Convert disabled and no option chosen at the start: the list and
    // Convert tests begin there.
    EXPECT_EQ(w.grdFiles1->columnWidth(), 1000);
    for (QWidget* enabled : {static_cast<QWidget*>(w.cmdAdd), static_cast<QWidget*>(w.CmdAddFolder),
                             static_cast<QWidget*>(w.cmdClear1), static_cast<QWidget*>(w.CmdHelp),
                             static_cast<QWidget*>(w.cmdEnd), static_cast<QWidget*>(w.grdFiles1),
                             static_cast<QWidget*>(w.OptEML), static_cast<QWidget*>(w.OptMSG)})
        EXPECT_TRUE(enabled->isEnabled());
    EXPECT_EQ(w.ProgressBar1->value(), 0);
    EXPECT_EQ(w.ProgressBar2->value(), 0);
    EXPECT_EQ(w.ProgressBar1->maximum(), 100);
    EXPECT_EQ(w.ProgressBar2->maximum(), 100);
    EXPECT_EQ(w.focusWidget(), w.cmdAdd);

    EXPECT_TRUE(w.Label1->font().bold());
    EXPECT_TRUE(w.Label2->font().bold());
    EXPECT_FALSE(w.Label4->font().bold());
    EXPECT_EQ(w.Label1->palette().color(QPalette::WindowText), QColor(0, 64, 64));
    EXPECT_EQ(w.LblHappening->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(w.Line1->palette().color(QPalette::Window), QColor(0, 64, 64));
    EXPECT_EQ(w.Picture3->palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(MailboxGrid::kCellColour, QColor(255, 255, 191));
    for (QWidget* captioned :
         {static_cast<QWidget*>(w.cmdAdd), static_cast<QWidget*>(w.OptMSG),
          static_cast<QWidget*>(w.LblProgress), static_cast<QWidget*>(w.cmdEnd)}) {
        EXPECT_DOUBLE_EQ(captioned->font().pointSizeF(), 8.25);
        EXPECT_EQ(captioned->font().family(), w.font().family());
    }
    // Every caption fits its control in the font this system gives.
    for (QAbstractButton* button : w.findChildren<QAbstractButton*>()) {
        QString shown = button->text().remove('&');
        int room = button->width() - (qobject_cast<QRadioButton*>(button) ? 20 : 8);
        EXPECT_LE(button->fontMetrics().horizontalAdvance(shown), room) << shown.toStdString();
    }
    for (QLabel* label : {w.Label1, w.Label2, w.Label4, w.LblProgress})
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
            << label->text().toStdString();
}

TEST_F(Window, TabOrderRunsThroughButtonsGridAndOptions) {
    std::vector<QWidget*> expected = {w.cmdAdd,     w.cmdClear1, w.CmdAddFolder, w.grdFiles1,
                                      w.CmdConvert, w.cmdEnd,    w.CmdHelp,      w.OptMSG,
                                      w.OptPST,     w.OptEML,    w.OptEMLX};
    std::vector<QWidget*> chain;
    QWidget* at = w.cmdAdd;
    do {
        if (at->focusPolicy() & Qt::TabFocus) chain.push_back(at);
        at = at->nextInFocusChain();
    } while (at != w.cmdAdd && chain.size() < 50);
    EXPECT_EQ(chain, expected);
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
