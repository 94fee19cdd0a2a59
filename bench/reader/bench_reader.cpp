// quill-bench-reader: measures the mailbox reader and the message files on a real file.
//
//   quill-bench-reader scan MAILBOX [--expect N]
//       the working copy (Open_MBOX), then the search for every separator on it
//   quill-bench-reader cut MAILBOX OUTDIR [--expect N]
//       the search (not timed), then every message cut and written to OUTDIR as .eml
//
// Prints the times, throughputs and the process's peak resident memory. --expect N fails
// (exit 1) when the number of messages found differs.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "convert/messagefile.h"
#include "reader/finder.h"

namespace {

class QuietFrontend : public quill::Frontend {
  public:
    quill::MsgAnswer messageBox(const std::string& text, quill::MsgButtons, quill::MsgIcon,
                                const std::string& title) override {
        std::fprintf(stderr, "message box [%s]: %s\n", title.c_str(), text.c_str());
        ++boxes;
        return quill::MsgAnswer::Ok;
    }
    void beep() override {}
    void setCaption(quill::Caption, const std::string&) override { ++captions; }
    void setBar(quill::Bar, double) override {}
    std::string browseFolder(const std::string&) override { return {}; }
    void yieldNow() override { ++yields; }
    int boxes = 0;
    long captions = 0;
    long yields = 0;
};

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long PeakKiB() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Runs the reader as the conversion run does; returns the separators found.
std::vector<uint64_t> Search(QuietFrontend& frontend, const std::string& mailbox,
                             double& copySeconds, double& scanSeconds) {
    quill::FrmFinder finder(frontend);
    quill::SearchDone = false;
    quill::FoundPositions.clear();
    finder.Text2 = "From ";
    auto start = std::chrono::steady_clock::now();
    finder.Open_MBOX(mailbox);
    copySeconds = Seconds(start);
    start = std::chrono::steady_clock::now();
    finder.Find_Click();
    while (!quill::SearchDone) finder.FindNext_Click();
    scanSeconds = Seconds(start);
    if (finder.searchEnd() != quill::FrmFinder::SearchEnd::Exhausted) {
        std::fprintf(stderr, "search did not finish: %s\n", finder.lastError().c_str());
        std::exit(1);
    }
    finder.CloseFile();
    auto positions = quill::SplitFoundPositions(quill::FoundPositions);
    return positions ? *positions : std::vector<uint64_t>{};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: quill-bench-reader scan MAILBOX [--expect N]\n"
                     "       quill-bench-reader cut MAILBOX OUTDIR [--expect N]\n");
        return 2;
    }
    const std::string mode = argv[1], mailbox = argv[2];
    const bool cut = mode == "cut";
    if (cut && argc < 4) return 2;
    long expect = -1;
    for (int i = cut ? 4 : 3; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--expect") expect = std::atol(argv[i + 1]);

    const double bytes = static_cast<double>(std::filesystem::file_size(mailbox));
    const double mb = 1e6;
    QuietFrontend frontend;
    double copySeconds = 0, scanSeconds = 0;
    auto positions = Search(frontend, mailbox, copySeconds, scanSeconds);
    std::printf("mailbox           %.0f MB, %zu messages\n", bytes / mb, positions.size());
    if (expect >= 0 && static_cast<long>(positions.size()) != expect) {
        std::fprintf(stderr, "expected %ld messages, found %zu\n", expect, positions.size());
        return 1;
    }
    if (!cut) {
        std::printf("working copy      %.3f s (%.0f MB/s)\n", copySeconds,
                    bytes / mb / copySeconds);
        std::printf("scan              %.3f s (%.0f MB/s)\n", scanSeconds,
                    bytes / mb / scanSeconds);
    } else {
        const std::string out = argv[3];
        std::filesystem::create_directories(out);
        quill::YieldClock clock(frontend);
        auto start = std::chrono::steady_clock::now();
        auto result = quill::WriteMessageFiles(clock, mailbox, positions, out, ".eml");
        const double seconds = Seconds(start);
        if (!result.ok()) {
            std::fprintf(stderr, "cut failed: %s\n",
                         result.error ? result.error->text.c_str() : "stopped");
            return 1;
        }
        std::printf("cut and write     %.3f s (%.0f MB/s, %.0f files/s)\n", seconds,
                    bytes / mb / seconds, static_cast<double>(result.written) / seconds);
    }
    std::printf("yields            %ld, captions %ld\n", frontend.yields, frontend.captions);
    std::printf("peak memory       %.1f MB (resident)\n", static_cast<double>(PeakKiB()) / 1024.0);
    return frontend.boxes == 0 ? 0 : 1;
}
