#include "shell/desktop.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QUrl>

namespace quill {

void OpenDocument(const QString& target) {
    if (target.isEmpty()) return;
    QUrl url(target);
    if (url.scheme().isEmpty() || url.scheme().size() == 1)  // a plain path, or C:\...
        url = QUrl::fromLocalFile(target);
    QDesktopServices::openUrl(url);
}

QString BrowseFolder(QWidget* owner, const QString& prompt) {
    QString chosen =
        QFileDialog::getExistingDirectory(owner, prompt, QString(), QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) return QString();
    QString native = QDir::toNativeSeparators(QDir::cleanPath(chosen));
    // cleanPath keeps the separator of a root ("/", "C:/") and drops every other trailing one.
    return native;
}

}  // namespace quill
