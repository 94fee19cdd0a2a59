// Event latency of the window during a conversion run: a timer asks to run every
// millisecond; the gaps between its runs are how long any event waits to be handled.
//
//   latency_bench eml|emlx|msg|pst OUTDIR MAILBOX...

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/frmStep1.h"
#include "shell/scripted_dialogs.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: latency_bench eml|emlx|msg|pst OUTDIR MAILBOX...\n");
        return 2;
    }
    auto kind = quill::OutputKindFromName(argv[1]);
    if (!kind) return 2;

    quill::ScriptedDialogs dialogs;
    frmStep1 window(dialogs);
    window.show();
    for (int i = 3; i < argc; ++i) window.AddMailboxFile(QString::fromLocal8Bit(argv[i]));
    window.setConvertEnabled(true);
    switch (*kind) {
        case quill::OutputKind::EML:
            window.OptEML->setChecked(true);
            break;
        case quill::OutputKind::EMLX:
            window.OptEMLX->setChecked(true);
            break;
        case quill::OutputKind::PST:
            window.OptPST->setChecked(true);
            break;
        case quill::OutputKind::MSG:
            window.OptMSG->setChecked(true);
            break;
        case quill::OutputKind::None:
            break;
    }
    dialogs.folders.push_back(QString::fromLocal8Bit(argv[2]));

    std::vector<double> gaps;
    QElapsedTimer clock;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (clock.isValid()) gaps.push_back(clock.nsecsElapsed() / 1e6);
        clock.restart();
    });
    ticker.start();

    QElapsedTimer total;
    total.start();
    window.CmdConvert_Click();
    const double seconds = total.nsecsElapsed() / 1e9;
    ticker.stop();

    std::sort(gaps.begin(), gaps.end());
    auto at = [&](double q) { return gaps.empty() ? 0.0 : gaps[size_t(q * (gaps.size() - 1))]; };
    std::printf(
        "run %.2f s, %zu events, event wait: median %.1f ms, p99 %.1f ms, max %.1f ms "
        "(target: max <= 50 ms)\n",
        seconds, gaps.size(), at(0.5), at(0.99), gaps.empty() ? 0.0 : gaps.back());
    if (!dialogs.boxes.empty())
        std::printf("end box: %s\n", dialogs.boxes.back().text.left(80).toLocal8Bit().constData());
    return 0;
}
