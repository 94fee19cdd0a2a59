#include "cli/cli.h"

#include <chrono>
#include <filesystem>
#include <ostream>
#include <system_error>

#include "mailboxlist/mailbox_search.h"
#include "shell/paths.h"

namespace quill {

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "usage: quillmere-convert --to eml|emlx|msg|pst --output DIR [--tree] [--any-name]\n"
    "                         [--quiet] PATH...\n";

const char* const kHelp =
    "Converts Unix mailbox files (.mbox, .mbx) into message files or an Outlook store.\n"
    "\n"
    "  --to KIND     eml or emlx: one file per message; msg: one Outlook .msg file per\n"
    "                message; pst: one new Outlook store with a folder per mailbox\n"
    "  --output DIR  the output folder (made when missing); below it every mailbox gets\n"
    "                a folder named by the mailbox's path, holding Email-0.eml, Email-1.eml...\n"
    "  --tree        with pst: the store's folders nest as the folders on disk do below\n"
    "                each folder PATH, which becomes a folder at the top; Thunderbird's X.sbd\n"
    "                holds the subfolders of mailbox X, Apple Mail's X.mbox bundles nest\n"
    "  --any-name    below a folder PATH, a file of any name is a mailbox when it begins\n"
    "                with a \"From \" separator line (Thunderbird's Inbox, Sent...); index\n"
    "                and summary files are skipped\n"
    "  --quiet       print only failures\n"
    "  PATH          a mailbox file (of any name), or a folder: every .mbox and .mbx file\n"
    "                below it\n"
    "  --version     print the program's version\n"
    "\n"
    "msg and pst keep what mail programs write beside each message: unread stays unread\n"
    "(Status, X-Mozilla-Status, Gmail's Unread), flagged and starred messages get a\n"
    "follow-up flag (X-Status, X-Mozilla-Status), answered and forwarded ones their icon,\n"
    "and tags become categories (Keywords, X-Mozilla-Keys, X-Gmail-Labels). pst puts the\n"
    "messages Thunderbird deleted but still kept into Deleted Items.\n"
    "\n"
    "Exit status: 0 when every mailbox was converted, 1 when any failed or held no message\n"
    "(each listed at the end), 2 for a usage error.\n";

// The run's window, on a terminal: message boxes go to stderr, progress to a bar on a
// terminal or one line per mailbox otherwise.
class CliHost : public RunHost {
  public:
    CliHost(CliStreams streams, bool quiet, std::string outputFolder,
            const std::vector<std::string>& rows)
        : s_(streams), quiet_(quiet), output_(std::move(outputFolder)), rows_(rows) {}

    MsgAnswer messageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                         const std::string& title) override {
        const bool report = icon == MsgIcon::Exclamation || title != kAppTitle;
        if (report || !quiet_) {
            clearBar();
            std::string shown;
            for (size_t i = 0; i < text.size(); ++i) {
                if (text[i] == '\r') {
                    shown += '\n';
                    if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
                } else {
                    shown += text[i];
                }
            }
            while (!shown.empty() && shown.back() == '\n') shown.pop_back();
            if (!title.empty() && title != kAppTitle) s_.err << title << ": ";
            s_.err << shown << '\n';
        }
        return buttons == MsgButtons::YesNo ? MsgAnswer::Yes : MsgAnswer::Ok;
    }
    void beep() override {}
    void setCaption(Caption which, const std::string& text) override {
        if (which == Caption::LblEmlsFound) found_ = text;
    }
    void setBar(Bar which, double percent) override {
        if (which == Bar::ProgressBar2) {
            scan_ = percent;
            return;
        }
        done_ = percent;
        if (quiet_) return;
        if (s_.errIsTerminal) {
            drawBar(true);
        } else {
            s_.err << "Mailbox " << (row_ + 1) << " (of " << rows_.size() << ") " << rows_[row_]
                   << ": " << (found_.empty() ? "0 Messages" : found_) << '\n';
        }
    }
    std::string browseFolder(const std::string&) override { return output_; }
    void yieldNow() override {
        if (!quiet_ && s_.errIsTerminal) drawBar(false);
    }
    void setConvertEnabled(bool) override {}
    size_t namesInEndBox() const override { return SIZE_MAX; }  // a terminal scrolls
    void clearOutputOptions() override { clearBar(); }
    void selectRow(size_t i) override {
        row_ = i;
        found_.clear();
        scan_ = 0;
    }

  private:
    void drawBar(bool force) {
        auto now = std::chrono::steady_clock::now();
        if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
        lastDraw_ = now;
        const double share = rows_.empty() ? 0 : 100.0 / double(rows_.size());
        double percent = std::min(100.0, done_ + (done_ < 100 ? share * scan_ / 100.0 : 0));
        int filled = int(percent / 100.0 * 30.0);
        s_.err << "\r[" << std::string(filled, '#') << std::string(30 - filled, '.') << "] "
               << int(percent) << "%  mailbox " << (row_ + 1) << " of " << rows_.size() << "  "
               << found_ << "\x1b[K" << std::flush;
        barShown_ = true;
    }
    void clearBar() {
        if (barShown_) s_.err << "\r\x1b[K" << std::flush;
        barShown_ = false;
    }

    CliStreams s_;
    bool quiet_;
    std::string output_;
    const std::vector<std::string>& rows_;
    size_t row_ = 0;
    std::string found_;
    double scan_ = 0, done_ = 0;
    bool barShown_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};

int Usage(CliStreams s, const std::string& problem) {
    s.err << "quillmere-convert: " << problem << '\n'
          << kUsage << "Try 'quillmere-convert --help' for more.\n";
    return 2;
}

std::string Absolute(const std::string& path) {
    std::error_code ec;
    fs::path abs = fs::absolute(path, ec);
    if (ec) abs = path;
    std::string text = abs.lexically_normal().string();
    while (text.size() > 1 && text.back() == kPathSeparator) text.pop_back();
    return text;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, CliStreams s, const RunSettings& settings) {
    std::optional<OutputKind> kind;
    std::string output;
    bool quiet = false;
    bool tree = false;
    bool anyName = false;
    bool optionsEnded = false;
    std::vector<std::string> paths;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            paths.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "--help" || a == "-h") {
            s.out << kUsage << '\n' << kHelp;
            return 0;
        } else if (a == "--quiet" || a == "-q") {
            quiet = true;
        } else if (a == "--tree") {
            tree = true;
        } else if (a == "--any-name") {
            anyName = true;
        } else if (a == "--to" || a.rfind("--to=", 0) == 0) {
            std::string value = a == "--to" ? (i + 1 < args.size() ? args[++i] : "") : a.substr(5);
            kind = OutputKindFromName(value);
            if (!kind) return Usage(s, "--to wants eml, emlx, msg or pst, not '" + value + "'");
        } else if (a == "--output" || a == "-o" || a.rfind("--output=", 0) == 0) {
            output =
                a.rfind("--output=", 0) == 0 ? a.substr(9) : (i + 1 < args.size() ? args[++i] : "");
            if (output.empty()) return Usage(s, "--output wants a folder");
        } else {
            return Usage(s, "unknown option '" + a + "'");
        }
    }
    if (!kind) return Usage(s, "say which kind to write with --to");
    if (output.empty()) return Usage(s, "say where to write with --output");
    if (paths.empty()) return Usage(s, "name at least one mailbox or folder");

    output = Absolute(output);
    if (!EnsureFolderPath(output)) {
        s.err << "quillmere-convert: cannot make the output folder " << output << '\n';
        return 1;
    }

    std::vector<std::string> rows;
    std::vector<std::string> problems;
    RunSettings runSettings = settings;
    StoreFolderTree folders;
    for (const auto& p : paths) {
        std::string path = Absolute(p);
        std::error_code ec;
        if (fs::is_directory(path, ec)) {
            MailboxSearch found = FindMailboxesUnder(path, nullptr, anyName);
            for (const auto& unreadable : found.unreadableFolders)
                problems.push_back(unreadable.path +
                                   ": this folder could not be read: " + unreadable.reason);
            if (found.mailboxes.empty())
                problems.push_back(path + (anyName ? ": no mailbox below this folder"
                                                   : ": no .mbox or .mbx file below this folder"));
            rows.insert(rows.end(), found.mailboxes.begin(), found.mailboxes.end());
            if (tree && !found.mailboxes.empty()) folders.folderArgument(path);
            for (const auto& mailbox : found.mailboxes)
                if (tree) runSettings.storeFolders.push_back(folders.mailboxBelow(mailbox));
        } else {
            // Files, and paths that do not exist: the run reports those with their reason.
            rows.push_back(path);
            if (tree) runSettings.storeFolders.push_back(folders.mailbox(path));
        }
    }

    RunSummary summary;
    if (!rows.empty()) {
        CliHost host(s, quiet, output, rows);
        summary = RunConversion(host, *kind, rows, runSettings);
    }
    bool failed = !problems.empty() || !summary.failures.empty() || summary.stoppedNoSpace ||
                  !summary.storeFailure.empty() || !summary.noMessages.empty() || rows.empty();
    if (!problems.empty()) {
        s.err << "Not converted:\n";
        for (const auto& p : problems) s.err << "  " << p << '\n';
    }
    if (!quiet && !rows.empty())
        s.out << summary.converted << " of " << summary.mailboxes << " mailboxes converted, "
              << summary.messages << " messages written to " << output
              << (summary.deletedItems
                      ? ", " + std::to_string(summary.deletedItems) + " of them to Deleted Items"
                      : std::string())
              << '\n';
    return failed ? 1 : 0;
}

}  // namespace quill
