// Folder import at scale: a tree of 100,000 files in 5,000 folders, 20,000 of them mailboxes,
// imported into the real window's list (walk, match, add rows), with the window shown and
// yielding as in use. Prints the time and the longest stretch without a yield.
//   folderimport_bench TREE_FOLDER

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/frmStep1.h"
#include "mailboxlist/mailbox_grid.h"
#include "mailboxlist/mailbox_search.h"
#include "shell/scripted_dialogs.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kTopFolders = 50;
constexpr int kSubFolders = 99;         // per top folder: 50 + 50 * 99 = 5,000 folders
constexpr int kFilesPerFolder = 20;     // 100,000 files
constexpr int kMailboxesPerFolder = 4;  // 20,000 mailboxes

void Touch(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) ::close(fd);
}

void FillFolder(const fs::path& folder) {
    fs::create_directories(folder);
    const char* mailboxNames[kMailboxesPerFolder] = {"Inbox.mbox", "Sent.MBOX", "Archive.mbx",
                                                     "Lists.mbox"};
    for (int i = 0; i < kMailboxesPerFolder; ++i) Touch((folder / mailboxNames[i]).string());
    for (int i = kMailboxesPerFolder; i < kFilesPerFolder; ++i)
        Touch((folder / ("note-" + std::to_string(i) + (i % 3 ? ".txt" : ".mbox.bak"))).string());
}

int MakeTree(const fs::path& root) {
    const fs::path done = root / ".complete";
    if (fs::exists(done)) return 0;
    fs::remove_all(root);
    int folders = 0;
    for (int t = 0; t < kTopFolders; ++t) {
        fs::path top = root / ("Account " + std::to_string(t));
        FillFolder(top);
        ++folders;
        for (int s = 0; s < kSubFolders; ++s) {
            FillFolder(top / ("folder-" + std::to_string(s)));
            ++folders;
        }
    }
    std::ofstream(done) << "";
    return folders;
}

// The window, counting the longest time between two yields.

class MeasuredWindow : public frmStep1 {
  public:
    using frmStep1::frmStep1;
    void yieldNow() override {
        auto now = Clock::now();
        longestGap = std::max(longestGap, now - last);
        ++yields;
        frmStep1::yieldNow();
        last = Clock::now();
    }
    Clock::time_point last = Clock::now();
    Clock::duration longestGap{};
    long yields = 0;
};

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s TREE_FOLDER\n", argv[0]);
        return 2;
    }
    const fs::path root = fs::absolute(argv[1]);
    auto madeAt = Clock::now();
    if (MakeTree(root) > 0)
        std::printf("made the tree in %.1f s\n", Ms(Clock::now() - madeAt) / 1000);

    // The walk and match alone, warm.
    auto walkAt = Clock::now();
    quill::MailboxSearch found = quill::FindMailboxesUnder(root.string());
    auto walkTime = Clock::now() - walkAt;

    quill::ScriptedDialogs dialogs;
    MeasuredWindow window(dialogs);
    window.show();
    app.processEvents();
    dialogs.folders.push_back(QString::fromStdString(root.string()));
    window.last = Clock::now();
    auto importAt = Clock::now();
    window.CmdAddFolder_Click();
    auto importTime = Clock::now() - importAt;

    const int rows = window.grdFiles1->rows();
    std::printf("tree: %d folders, %d files, %d mailboxes\n", kTopFolders * (1 + kSubFolders),
                kTopFolders * (1 + kSubFolders) * kFilesPerFolder,
                kTopFolders * (1 + kSubFolders) * kMailboxesPerFolder);
    std::printf("walk and match only: %.0f ms (%zu mailboxes)\n", Ms(walkTime),
                found.mailboxes.size());
    std::printf(
        "folder import into the window: %.0f ms, %d rows, %ld yields, longest stretch "
        "without a yield %.1f ms\n",
        Ms(importTime), rows, window.yields, Ms(window.longestGap));
    const bool ok = rows == kTopFolders * (1 + kSubFolders) * kMailboxesPerFolder &&
                    dialogs.boxes.size() == 1 && Ms(importTime) < 3000;
    std::printf("%s (target: under 3000 ms)\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
