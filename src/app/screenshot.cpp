// Renders the main window with the program's own code into a PNG, for the README and the
// manual: build/bin/quillmere-screenshot docs/screenshot.png
// Run it with QT_QPA_PLATFORM=offscreen where there is no display.

#include <QApplication>
#include <QPixmap>
#include <cstdio>

#include "app/frmStep1.h"
#include "shell/scripted_dialogs.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    quill::ScriptedDialogs dialogs;
    frmStep1 window(dialogs);
    // A list as a user would have it after picking a few mailboxes.
    for (const char* path :
         {"/home/ana/Mail/Inbox.mbox", "/home/ana/Mail/Sent.mbox",
          "/home/ana/Mail/Archive/2019.mbx", "/home/ana/Mail/Projects/Quarterly reports.mbox"})
        window.AddMailboxFile(QString::fromUtf8(path));
    window.setConvertEnabled(true);
    window.OptEML->setChecked(true);
    window.show();
    app.processEvents();
    const QPixmap shot = window.grab();
    if (!shot.save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "could not write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
