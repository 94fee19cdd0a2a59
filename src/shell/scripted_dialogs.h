#pragma once
// A stand-in for the window's dialogs in tests: answers come from queues filled by the test,
// and every dialog shown is recorded. A dialog without a queued answer gives the cancel
// answer (No, an empty selection, the empty folder) and is recorded all the same.

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <vector>

#include "shell/dialogs.h"

namespace quill {

class ScriptedDialogs final : public Dialogs {
  public:
    struct ShownBox {
        QString text;
        MsgButtons buttons;
        MsgIcon icon;
        QString title;
    };

    std::deque<MsgAnswer> answers;           // for Yes/No boxes, in order
    std::deque<QStringList> fileSelections;  // for the Open dialog
    std::deque<QString> folders;             // for the folder picker
    // Runs while a message box is "shown", before it returns (to act during a modal box).
    std::function<void(const ShownBox&)> onMessageBox;

    std::vector<ShownBox> boxes;
    std::vector<QList<FileFilter>> openDialogs;  // the filters of each
    QStringList folderPrompts;
    int beeps = 0;

    MsgAnswer messageBox(QWidget* owner, const QString& text, MsgButtons buttons, MsgIcon icon,
                         const QString& title) override {
        boxes.push_back({text, buttons, icon, title});
        if (onMessageBox) onMessageBox(boxes.back());
        if (buttons == MsgButtons::Ok) return MsgAnswer::Ok;
        if (answers.empty()) return MsgAnswer::No;
        MsgAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void beep() override { ++beeps; }
    QStringList openFiles(QWidget* owner, const QList<FileFilter>& filters) override {
        openDialogs.push_back(filters);
        if (fileSelections.empty()) return {};
        QStringList chosen = fileSelections.front();
        fileSelections.pop_front();
        return chosen;
    }
    QString browseFolder(QWidget* owner, const QString& prompt) override {
        folderPrompts << prompt;
        if (folders.empty()) return {};
        QString chosen = folders.front();
        folders.pop_front();
        return chosen;
    }
};

}  // namespace quill
