#include "app/frmStep1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QIcon>
#include <QPixmap>
#include <QScreen>
#include <cmath>

#include "convert/store_outputs.h"
#include "mailboxlist/mailbox_grid.h"
#include "shell/desktop.h"

#ifndef QUILL_SOURCE_DIR
#define QUILL_SOURCE_DIR ""
#endif

static void LoadArtwork() {
    Q_INIT_RESOURCE(quillmere);
}

using quill::MsgAnswer;
using quill::MsgButtons;
using quill::MsgIcon;

namespace {

const QColor kDarkTeal(0, 64, 64);
const QColor kBlue(0, 0, 255);
const QColor kShapeBorder(192, 192, 192);

// Window measures are given in twips; at 96 dots per inch 15 twips make a pixel.
int Px(int twips) {
    return static_cast<int>(std::lround(twips / 15.0));
}

// Places a control by its twips measured from the window's client area, whatever its
// parent inside the window.
void Place(QWidget* window, QWidget* control, int left, int top, int width, int height) {
    QPoint origin = control->parentWidget() == window
                        ? QPoint(0, 0)
                        : control->parentWidget()->mapTo(window, QPoint(0, 0));
    control->setGeometry(Px(left) - origin.x(), Px(top) - origin.y(), Px(width), Px(height));
}

void SetTextColour(QWidget* widget, const QColor& colour) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::WindowText, colour);
    widget->setPalette(pal);
}

void SetBackground(QWidget* widget, const QColor& colour) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::Window, colour);
    widget->setPalette(pal);
    widget->setAutoFillBackground(true);
}

QLabel* MakeLabel(QWidget* parent, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);  // file names must never be read as markup
    return label;
}

QString Blanks(int n) {
    return QString(n, QLatin1Char(' '));
}

}  // namespace

QFont WindowFont() {
    // Tahoma where it is installed; otherwise a sans font of about its width, so that the
    // fixed layout's captions fit; otherwise the system's own. The font system substitutes
    // a missing family silently, so each candidate is checked by what it resolves to.
    static const char* const kFamilies[] = {
        "Tahoma", "Liberation Sans", "Arial", "Nimbus Sans", "Helvetica", "DejaVu Sans Condensed"};
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    for (const char* candidate : kFamilies) {
        QFont tried{QString::fromLatin1(candidate)};
        const QString resolved = QFontInfo(tried).family();
        if (resolved.compare(QLatin1String(candidate), Qt::CaseInsensitive) == 0 ||
            resolved.startsWith(QLatin1String(candidate) + QLatin1String(" ["),
                                Qt::CaseInsensitive)) {
            font = tried;
            break;
        }
    }
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    font.setBold(false);
    return font;
}

QString WithLineBreaks(const QString& text) {
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

frmStep1::frmStep1(quill::Dialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      dialogs_(dialogs),
      openDocument_([](const QString& target) { quill::OpenDocument(target); }) {
    LoadArtwork();
    runSettings_ = quill::DefaultRunSettings(ManualPath().toStdString());
    setObjectName(QStringLiteral("frmStep1"));
    setWindowTitle(QString::fromLatin1(quill::kAppTitle));
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/quillmere/icon-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);
    setFont(WindowFont());
    setFixedSize(kClientWidth, kClientHeight);
    setBackgroundRole(QPalette::Button);  // the button face
    setAutoFillBackground(true);

    buildControls();
    applyTabOrder();
    Form_Load();
    centreOnScreen();
    cmdAdd->setFocus();
}

frmStep1::~frmStep1() = default;

void frmStep1::buildControls() {
    Image2 = new QLabel(this);
    Image2->setPixmap(QPixmap(QStringLiteral(":/quillmere/banner.png")));
    Place(this, Image2, 0, 0, 9000, 1275);

    Line1 = new QFrame(this);
    SetBackground(Line1, kDarkTeal);
    Line1->setGeometry(0, Px(1280), Px(9000), 1);

    cmdAdd = new QPushButton(QStringLiteral("Select (.mbox) file(s)..."), this);
    Place(this, cmdAdd, 240, 1440, 2535, 375);
    CmdAddFolder = new QPushButton(QStringLiteral("Select folder having (.mbox) file(s)..."), this);
    Place(this, CmdAddFolder, 3000, 1440, 3375, 375);
    cmdClear1 = new QPushButton(QStringLiteral("Clear file(s)..."), this);
    Place(this, cmdClear1, 7440, 1440, 1335, 375);

    lblCount1 = MakeLabel(this, QStringLiteral("0 files"));
    Place(this, lblCount1, 270, 1920, 8535, 255);

    grdFiles1 = new quill::MailboxGrid(this);
    Place(this, grdFiles1, 240, 2160, 8535, 1575);

    Frame1 = new QGroupBox(QStringLiteral(" I want to convert mbox mailbox messages to"), this);
    Place(this, Frame1, 240, 3840, 8535, 1695);
    // A frame whose border runs through the middle of its caption, as desktop frames do;
    // the option rows below it start where the caption ends.
    Frame1->setStyleSheet(QStringLiteral(
        "QGroupBox { border: 1px solid rgb(170, 170, 170); border-radius: 3px; margin-top: 6px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; "
        "left: 7px; padding: 0px 1px; }"));
    Picture1 = new QWidget(Frame1);
    Place(this, Picture1, 360, 4080, 8295, 1335);
    OptEML = new QRadioButton(QStringLiteral("(.eml) files") + Blanks(10) + QStringLiteral("-") +
                                  Blanks(5) +
                                  QStringLiteral("(Supported by Outlook Express, Windows Mail, "
                                                 "Windows Live Mail)"),
                              Picture1);
    Place(this, OptEML, 360, 4080, 8055, 255);
    OptEMLX =
        new QRadioButton(QStringLiteral("(.emlx) files") + Blanks(8) + QStringLiteral("-") +
                             Blanks(5) + QStringLiteral("(Supported by Mac OS X ) Tiger Mail "),
                         Picture1);
    Place(this, OptEMLX, 360, 4440, 8295, 255);
    OptPST = new QRadioButton(QStringLiteral("(.pst) files") + Blanks(10) + QStringLiteral("-") +
                                  Blanks(5) + QStringLiteral("(Supported by MS Outlook)"),
                              Picture1);
    Place(this, OptPST, 360, 4800, 8055, 255);
    OptMSG = new QRadioButton(QStringLiteral("(.msg) files") + Blanks(9) + QStringLiteral("-") +
                                  Blanks(5) +
                                  QStringLiteral("(Supported by MS Outlook, Document Management "
                                                 "Software, Forensic Tools)"),
                              Picture1);
    Place(this, OptMSG, 360, 5160, 8055, 255);
    // A style sheet on a container resolves its children's font anew: keep the window's.
    for (QWidget* inFrame : {static_cast<QWidget*>(Frame1), static_cast<QWidget*>(OptEML),
                             static_cast<QWidget*>(OptEMLX), static_cast<QWidget*>(OptPST),
                             static_cast<QWidget*>(OptMSG)})
        inFrame->setFont(font());
    // One exclusive group; ClearOutputOptions lifts the exclusivity for a moment to clear all.
    OutputOptions = new QButtonGroup(this);
    OutputOptions->setExclusive(true);
    OutputOptions->addButton(OptEML, static_cast<int>(OutputKind::EML));
    OutputOptions->addButton(OptEMLX, static_cast<int>(OutputKind::EMLX));
    OutputOptions->addButton(OptPST, static_cast<int>(OutputKind::PST));
    OutputOptions->addButton(OptMSG, static_cast<int>(OutputKind::MSG));

    Label4 = MakeLabel(this, QStringLiteral("Converting Messages..."));
    Place(this, Label4, 240, 5595, 1815, 255);
    LblHappening = MakeLabel(this, QString());
    SetTextColour(LblHappening, kBlue);
    Place(this, LblHappening, 2040, 5595, 6735, 255);
    LblProgessCurrent = MakeLabel(this, QStringLiteral("Mailbox  0 (of 0)"));
    Place(this, LblProgessCurrent, 600, 5880, 8175, 255);

    QFont bold = font();
    bold.setBold(true);
    Label1 = MakeLabel(this, QStringLiteral("Reading") + Blanks(10) + QStringLiteral(":"));
    Label1->setFont(bold);
    SetTextColour(Label1, kDarkTeal);
    Place(this, Label1, 600, 6120, 1335, 255);
    LblIMMFile = MakeLabel(this, QString());
    Place(this, LblIMMFile, 1920, 6120, 6855, 255);

    ProgressBar2 = new QProgressBar(this);
    ProgressBar2->setRange(0, 100);
    ProgressBar2->setValue(0);
    ProgressBar2->setTextVisible(false);
    Place(this, ProgressBar2, 600, 6360, 8175, 255);

    Label2 = MakeLabel(this, QStringLiteral("Emails Found :"));
    Label2->setFont(bold);
    SetTextColour(Label2, kDarkTeal);
    Place(this, Label2, 600, 6645, 1335, 255);
    LblEmlsFound = MakeLabel(this, QString());
    Place(this, LblEmlsFound, 1920, 6645, 6855, 255);

    Image3 = new QLabel(this);
    Image3->setPixmap(QPixmap(QStringLiteral(":/quillmere/icon-16.png")));
    Place(this, Image3, 600, 6855, 240, 240);
    LblProgress = MakeLabel(this, QStringLiteral("Saving :"));
    Place(this, LblProgress, 960, 6855, 7815, 255);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    Place(this, ProgressBar1, 240, 7200, 8535, 255);

    CmdConvert = new QPushButton(QStringLiteral("Convert"), this);
    CmdConvert->setEnabled(false);
    Place(this, CmdConvert, 3120, 7560, 2775, 435);

    // The white strip at the bottom; its rectangle reaches past the client area, so only
    // its top border shows.
    Shape1 = new QFrame(this);
    Shape1->setObjectName(QStringLiteral("Shape1"));
    Shape1->setStyleSheet(
        QStringLiteral("QFrame#Shape1 { background: white; "
                       "border: 1px solid rgb(192, 192, 192); }"));
    Place(this, Shape1, 0, 8160, 9015, 855);
    Picture3 = new QWidget(this);
    SetBackground(Picture3, Qt::white);
    Place(this, Picture3, 240, 8280, 8655, 495);
    CmdHelp = new QPushButton(QStringLiteral("&Help Manual"), Picture3);
    Place(this, CmdHelp, 240, 8280, 1695, 375);
    cmdEnd = new QPushButton(QStringLiteral("E&xit"), Picture3);
    Place(this, cmdEnd, 7440, 8280, 1335, 375);

    connect(cmdAdd, &QPushButton::clicked, this, &frmStep1::cmdAdd_Click);
    connect(cmdClear1, &QPushButton::clicked, this, &frmStep1::cmdClear1_Click);
    connect(CmdAddFolder, &QPushButton::clicked, this, &frmStep1::CmdAddFolder_Click);
    connect(CmdConvert, &QPushButton::clicked, this, &frmStep1::CmdConvert_Click);
    connect(CmdHelp, &QPushButton::clicked, this, &frmStep1::CmdHelp_Click);
    connect(cmdEnd, &QPushButton::clicked, this, &frmStep1::cmdEnd_Click);
}

void frmStep1::applyTabOrder() {
    QWidget* order[] = {cmdAdd,  cmdClear1, CmdAddFolder, grdFiles1, CmdConvert, cmdEnd,
                        CmdHelp, OptMSG,    OptPST,       OptEML,    OptEMLX};
    for (std::size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

void frmStep1::Form_Load() {
    grdFiles1->setColumnWidth(quill::MailboxGrid::kDefaultColumnWidth);
}

void frmStep1::centreOnScreen() {
    QScreen* where = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!where) return;
    QRect available = where->availableGeometry();
    move(available.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
}

// --- Output options and Convert -------------------------------------------------------

OutputKind frmStep1::ChosenOutputKind() const {
    int id = OutputOptions->checkedId();
    return id < 0 ? OutputKind::None : static_cast<OutputKind>(id);
}

void frmStep1::ClearOutputOptions() {
    OutputOptions->setExclusive(false);
    for (QAbstractButton* option : OutputOptions->buttons()) option->setChecked(false);
    OutputOptions->setExclusive(true);
}

void frmStep1::setConvertEnabled(bool enabled) {
    CmdConvert->setEnabled(enabled);
}

void frmStep1::selectRow(size_t i) {
    grdFiles1->setRow(static_cast<int>(i));
}

// The conversion run over the listed mailboxes. It works on the list and the option as they
// are now: rows added or cleared and options chosen during the run wait for the next one.
// One run at a time: the reader's results are shared, so a second run started during the
// first's yields would end the first one's search and cut its mailbox at its own positions.
void frmStep1::CmdConvert_Click() {
    if (converting_) return;
    const OutputKind kind = ChosenOutputKind();
    const std::vector<std::string> rows = MailboxPaths();
    RunScope scope(*this);
    converting_ = true;
    struct Converting {
        bool& flag;
        ~Converting() { flag = false; }
    } converting{converting_};
    quill::RunConversion(*this, kind, rows, runSettings_);
}

// --- Help, exit and closing -----------------------------------------------------------

void frmStep1::setDocumentOpener(std::function<void(const QString&)> opener) {
    openDocument_ = std::move(opener);
}

QString frmStep1::ManualPath(const QString& executableDir, const QString& sourceDir) {
    const QStringList candidates = {
        executableDir + QStringLiteral("/manual.html"),
        executableDir + QStringLiteral("/../share/doc/quillmere/manual.html"),
        sourceDir.isEmpty() ? QString() : sourceDir + QStringLiteral("/docs/manual.html"),
    };
    for (const QString& candidate : candidates)
        if (!candidate.isEmpty() && QFileInfo(candidate).isFile())
            return QDir::toNativeSeparators(QFileInfo(candidate).canonicalFilePath());
    return QDir::toNativeSeparators(candidates.front());
}

QString frmStep1::ManualPath() {
    return ManualPath(QCoreApplication::applicationDirPath(), QString::fromUtf8(QUILL_SOURCE_DIR));
}

void frmStep1::CmdHelp_Click() {
    if (openDocument_) openDocument_(ManualPath());
}

void frmStep1::cmdEnd_Click() {
    if (Say(QStringLiteral("Are you sure you want to exit now?"), MsgButtons::YesNo,
            MsgIcon::Question) == MsgAnswer::Yes)
        close();
}

void frmStep1::closeEvent(QCloseEvent* event) {
    if (runDepth_ > 0) {
        // Long work still holds the window: let it stop at its next yield; the window
        // closes when it has returned (RunScope).
        closeRequested_ = true;
        event->ignore();
        return;
    }
    event->accept();
}

frmStep1::RunScope::RunScope(frmStep1& window) : window_(window) {
    ++window_.runDepth_;
}

frmStep1::RunScope::~RunScope() {
    if (--window_.runDepth_ == 0 && window_.closeRequested_)
        QMetaObject::invokeMethod(&window_, &QWidget::close, Qt::QueuedConnection);
}

// --- Frontend for the core ------------------------------------------------------------

MsgAnswer frmStep1::Say(const QString& text, MsgButtons buttons, MsgIcon icon,
                        const QString& title) {
    return dialogs_.messageBox(this, WithLineBreaks(text), buttons, icon, title);
}

MsgAnswer frmStep1::messageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                               const std::string& title) {
    return Say(QString::fromStdString(text), buttons, icon, QString::fromStdString(title));
}

void frmStep1::beep() {
    dialogs_.beep();
}

void frmStep1::setCaption(quill::Caption which, const std::string& text) {
    QLabel* label = nullptr;
    switch (which) {
        case quill::Caption::LblHappening:
            label = LblHappening;
            break;
        case quill::Caption::LblProgessCurrent:
            label = LblProgessCurrent;
            break;
        case quill::Caption::LblIMMFile:
            label = LblIMMFile;
            break;
        case quill::Caption::LblEmlsFound:
            label = LblEmlsFound;
            break;
        case quill::Caption::LblProgress:
            label = LblProgress;
            break;
    }
    if (label) label->setText(WithLineBreaks(QString::fromStdString(text)));
}

void frmStep1::setBar(quill::Bar which, double percent) {
    QProgressBar* bar = which == quill::Bar::ProgressBar1 ? ProgressBar1 : ProgressBar2;
    if (!(percent > 0)) percent = 0;  // also NaN
    if (percent > 100) percent = 100;
    bar->setValue(static_cast<int>(std::lround(percent)));
}

std::string frmStep1::browseFolder(const std::string& prompt) {
    QString folder = dialogs_.browseFolder(this, QString::fromStdString(prompt));
    return QFile::encodeName(folder).toStdString();
}

void frmStep1::yieldNow() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}
