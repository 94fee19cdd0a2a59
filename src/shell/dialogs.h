#pragma once
// The window's dialogs behind one small interface: message boxes, the beep, the Open dialog
// and the folder picker. The program uses QtDialogs; tests use ScriptedDialogs
// (shell/scripted_dialogs.h), so that every click handler runs headless with scripted answers.

#include <QString>
#include <QStringList>

#include "shell/frontend.h"

class QWidget;

namespace quill {

// An entry of the Open dialog's filter list: `description` as the user sees it, `patterns`
// matched case-insensitively.
struct FileFilter {
    QString description;
    QStringList patterns;
};

class Dialogs {
  public:
    virtual ~Dialogs() = default;

    // A modal message box. The text's line breaks are "\n".
    virtual MsgAnswer messageBox(QWidget* owner, const QString& text, MsgButtons buttons,
                                 MsgIcon icon, const QString& title) = 0;
    virtual void beep() = 0;
    // The Open dialog with multiple selection: the chosen files as full native paths in the
    // dialog's order, or an empty list when the user cancels. The first filter is chosen.
    virtual QStringList openFiles(QWidget* owner, const QList<FileFilter>& filters) = 0;
    // A modal folder picker: the folder in native form, without a trailing separator
    // except on a root, or the empty text on cancel.
    virtual QString browseFolder(QWidget* owner, const QString& prompt) = 0;
};

// Real Qt dialogs.
class QtDialogs final : public Dialogs {
  public:
    MsgAnswer messageBox(QWidget* owner, const QString& text, MsgButtons buttons, MsgIcon icon,
                         const QString& title) override;
    void beep() override;
    QStringList openFiles(QWidget* owner, const QList<FileFilter>& filters) override;
    QString browseFolder(QWidget* owner, const QString& prompt) override;
};

// The name filters a QFileDialog needs to show each description as it is and match its
// patterns (Qt reads the patterns from the last parenthesised group).
QStringList OpenDialogNameFilters(const QList<FileFilter>& filters);

}  // namespace quill
