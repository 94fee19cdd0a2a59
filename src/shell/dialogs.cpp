#include "shell/dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

#include "shell/desktop.h"

namespace quill {

MsgAnswer QtDialogs::messageBox(QWidget* owner, const QString& text, MsgButtons buttons,
                                MsgIcon icon, const QString& title) {
    QMessageBox box(owner);
    box.setWindowTitle(title);
    box.setTextFormat(Qt::PlainText);  // paths and file names must never be read as markup
    box.setText(text);
    switch (icon) {
        case MsgIcon::None:
            box.setIcon(QMessageBox::NoIcon);
            break;
        case MsgIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case MsgIcon::Exclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        case MsgIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
    }
    if (buttons == MsgButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    int answer = box.exec();
    if (buttons == MsgButtons::Ok) return MsgAnswer::Ok;
    return answer == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
}

void QtDialogs::beep() {
    QApplication::beep();
}

QStringList OpenDialogNameFilters(const QList<FileFilter>& filters) {
    QStringList names;
    for (const FileFilter& f : filters)
        names << f.description + QStringLiteral(" (") + f.patterns.join(QLatin1Char(' ')) +
                     QLatin1Char(')');
    return names;
}

QStringList QtDialogs::openFiles(QWidget* owner, const QList<FileFilter>& filters) {
    // Qt's own dialog: its file model matches the patterns case-insensitively (x.MBOX is a
    // mailbox too), which the desktop's native dialogs do not all do.
    QFileDialog dialog(owner);
    dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilters(OpenDialogNameFilters(filters));
    if (dialog.exec() != QDialog::Accepted) return {};
    QStringList chosen;
    for (const QString& file : dialog.selectedFiles()) chosen << QDir::toNativeSeparators(file);
    return chosen;
}

QString QtDialogs::browseFolder(QWidget* owner, const QString& prompt) {
    return BrowseFolder(owner, prompt);
}

}  // namespace quill
