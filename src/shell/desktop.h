#pragma once
// Shell helpers that need the desktop: opening a document with its default handler and
// the modal folder picker.

#include <QString>

class QWidget;

namespace quill {

// Opens a document or address with the desktop's default handler. The empty text does
// nothing; failure is not reported.
void OpenDocument(const QString& target);

// A modal folder picker. The chosen folder in native form, without a trailing separator
// except on a root, or the empty text when the user cancels.
QString BrowseFolder(QWidget* owner, const QString& prompt);

}  // namespace quill
