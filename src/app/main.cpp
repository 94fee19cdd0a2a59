// Quillmere: the window program. It takes no command line of its own (Qt's options and
// --version aside); everything is chosen in the window. The program ends when its window is
// closed.

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <string>

#include "app/frmStep1.h"
#include "shell/dialogs.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("quillmere %s\n", QUILL_VERSION);
        return 0;
    }
    // A write past the file-size limit (ulimit -f) then fails with EFBIG and is reported like
    // any other write failure, instead of the signal ending the program mid-run.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setDesktopFileName(QStringLiteral("quillmere"));
    quill::QtDialogs dialogs;
    frmStep1 window(dialogs);
    window.show();
    return app.exec();
}
