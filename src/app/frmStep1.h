#pragma once
// frmStep1, the program's main window: the mailbox list, the four output options, the
// buttons that start every action, and the captions and bars the conversion run and the
// mailbox reader write their progress into. Every message box, the beep and the file and
// folder dialogs go through a Dialogs object, so that tests drive every handler headless.
//
// For the conversion run (CmdConvert_Click) the window offers:
//   MailboxPaths()           the listed mailboxes, rows 0 .. Rows-1 (the empty list gives
//                            one empty path), as file-system paths;
//   ChosenOutputKind()       which option is chosen (OutputKind::None when none);
//   ClearOutputOptions()     clears all four options;
//   setConvertEnabled(bool)  enables or disables CmdConvert;
//   grdFiles1->setRow(i)     makes row i the current cell;
//   the quill::Frontend of this window (captions, bars, message boxes, folder choice,
//   yield, cancel): pass *this to the Qt-free run;
//   yieldBudget()            the time budget for a YieldClock on this window;
//   RunScope                 held for the length of the run: closing the window meanwhile
//                            only sets cancelRequested(); the run returns at its next
//                            yield, and the window closes once the scope ends.

#include <QButtonGroup>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QString>
#include <QWidget>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "convert/output_kind.h"
#include "convert/run.h"
#include "shell/dialogs.h"
#include "shell/frontend.h"

namespace quill {
class MailboxGrid;
}

using quill::OutputKind;

class frmStep1 : public QWidget, public quill::RunHost {
    Q_OBJECT
  public:
    // Client area, fixed: 8985 x 8790 twips.
    static constexpr int kClientWidth = 599;
    static constexpr int kClientHeight = 586;

    explicit frmStep1(quill::Dialogs& dialogs, QWidget* parent = nullptr);
    ~frmStep1() override;

    // The controls, named as the program's documentation names them.
    QLabel* Image2;
    QFrame* Line1;
    QPushButton* cmdAdd;
    QPushButton* CmdAddFolder;
    QPushButton* cmdClear1;
    QLabel* lblCount1;
    quill::MailboxGrid* grdFiles1;
    QGroupBox* Frame1;
    QWidget* Picture1;
    QRadioButton* OptEML;
    QRadioButton* OptEMLX;
    QRadioButton* OptPST;
    QRadioButton* OptMSG;
    QButtonGroup* OutputOptions;
    QLabel* Label4;
    QLabel* LblHappening;
    QLabel* LblProgessCurrent;
    QLabel* Label1;
    QLabel* LblIMMFile;
    QProgressBar* ProgressBar2;
    QLabel* Label2;
    QLabel* LblEmlsFound;
    QLabel* Image3;
    QLabel* LblProgress;
    QProgressBar* ProgressBar1;
    QPushButton* CmdConvert;
    QFrame* Shape1;
    QWidget* Picture3;
    QPushButton* CmdHelp;
    QPushButton* cmdEnd;

    // The mailbox list.
    void AddMailboxFile(const QString& path);
    void ClearMailboxList();
    std::vector<std::string> MailboxPaths() const;

    OutputKind ChosenOutputKind() const;
    void ClearOutputOptions();
    void setConvertEnabled(bool enabled) override;
    void clearOutputOptions() override { ClearOutputOptions(); }
    void selectRow(size_t i) override;

    // What a conversion run can write and where the manual is; tests replace it.
    void setRunSettings(quill::RunSettings settings) { runSettings_ = std::move(settings); }

    // Opens the manual; OpenDocument unless a test replaces it.
    void setDocumentOpener(std::function<void(const QString&)> opener);
    // Where the manual is: beside the executable, in the installed documentation folder, or in the
    // source tree when run from the build.
    static QString ManualPath();
    static QString ManualPath(const QString& executableDir, const QString& sourceDir);

    // Held for the length of long work (a conversion run, a folder import).
    class RunScope {
      public:
        explicit RunScope(frmStep1& window);
        ~RunScope();
        RunScope(const RunScope&) = delete;
        RunScope& operator=(const RunScope&) = delete;

      private:
        frmStep1& window_;
    };
    bool runInProgress() const { return runDepth_ > 0; }
    // How long long work may go between two yields (tests use 0: yield at every chance).
    std::chrono::milliseconds yieldBudget() const { return yieldBudget_; }
    void setYieldBudget(std::chrono::milliseconds budget) { yieldBudget_ = budget; }

    // quill::Frontend
    quill::MsgAnswer messageBox(const std::string& text, quill::MsgButtons buttons,
                                quill::MsgIcon icon, const std::string& title) override;
    void beep() override;
    void setCaption(quill::Caption which, const std::string& text) override;
    void setBar(quill::Bar which, double percent) override;
    std::string browseFolder(const std::string& prompt) override;
    void yieldNow() override;
    bool cancelRequested() const override { return closeRequested_; }

    // A message box of the window, titled "Quillmere" unless told otherwise.
    quill::MsgAnswer Say(const QString& text, quill::MsgButtons buttons, quill::MsgIcon icon,
                         const QString& title = QString::fromLatin1(quill::kAppTitle));

  public slots:
    void cmdAdd_Click();
    void cmdClear1_Click();
    void CmdAddFolder_Click();
    void CmdConvert_Click();
    void CmdHelp_Click();
    void cmdEnd_Click();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void Form_Load();
    void buildControls();
    void applyTabOrder();
    void centreOnScreen();

    quill::Dialogs& dialogs_;
    quill::RunSettings runSettings_;
    std::function<void(const QString&)> openDocument_;
    int runDepth_ = 0;
    bool converting_ = false;  // a conversion run is under way: Convert stays disabled
    bool closeRequested_ = false;
    std::chrono::milliseconds yieldBudget_{8};
};

// The window's text font: Tahoma 8.25 pt, or the closest sans font this system has.
QFont WindowFont();
// Shows the program's "\r" and "\r\n" line breaks as line breaks.
QString WithLineBreaks(const QString& text);
