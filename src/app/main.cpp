// Quillmere: the window program. It takes no command line of its own (Qt's options aside);
// everything is chosen in the window. The program ends when its window is closed.

#include <QApplication>

#include "app/frmStep1.h"
#include "shell/dialogs.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setDesktopFileName(QStringLiteral("quillmere"));
    quill::QtDialogs dialogs;
    frmStep1 window(dialogs);
    window.show();
    return app.exec();
}
