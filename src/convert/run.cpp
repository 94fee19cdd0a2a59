#include "convert/run.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

#include "convert/messagefile.h"
#include "mailboxlist/mailbox_search.h"
#include "reader/finder.h"
#include "reader/search_state.h"
#include "shell/paths.h"

namespace quill {

namespace fs = std::filesystem;

namespace {

std::string TrimBlanks(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

void RemoveAll(std::string& text, const std::string& what) {
    for (size_t pos; (pos = text.find(what)) != std::string::npos;) text.erase(pos, what.size());
}

std::string Stars() {
    return std::string(75, '*');
}

// The first folder on the way from base down to folder that is a symbolic link leading
// outside base, or "" when the part of the way that exists stays inside it. Message files
// must never land outside the chosen output folder, whatever links an earlier run or anyone
// else left in it.
std::string LinkLeadingOutside(const std::string& base, const std::string& folder) {
    std::error_code ec;
    const fs::path realBase = fs::weakly_canonical(fs::path(base), ec);
    if (ec) return {};
    fs::path way = fs::path(base);
    const fs::path rest = fs::path(folder).lexically_relative(fs::path(base));
    for (const auto& part : rest) {
        way /= part;
        if (!fs::is_symlink(fs::symlink_status(way, ec))) {
            if (!fs::exists(fs::symlink_status(way, ec))) break;  // the rest is made new
            continue;
        }
        const fs::path target = fs::weakly_canonical(way, ec);
        const fs::path inside = target.lexically_relative(realBase);
        if (ec || inside.empty() || *inside.begin() == "..") return way.string();
    }
    return {};
}

bool IsEmptyList(const std::vector<std::string>& rows) {
    return rows.empty() || (rows.size() == 1 && TrimBlanks(rows[0]).empty());
}

// Keeps the store folder names of one run apart: a second "Inbox" becomes "Inbox (2)".
class FolderNames {
  public:
    std::string unique(const std::string& name) {
        int& seen = seen_[name];
        ++seen;
        if (seen == 1) return name;
        for (int n = seen;; ++n) {
            std::string candidate = name + " (" + std::to_string(n) + ")";
            if (seen_.count(candidate) == 0) {
                seen_[candidate] = 1;
                return candidate;
            }
        }
    }

  private:
    std::map<std::string, int> seen_;
};

// One conversion run; lives for one press of Convert.
class Run {
  public:
    Run(RunHost& host, OutputKind kind, const RunSettings& settings)
        : host_(host), clock_(host), settings_(settings), finder_(host) {
        summary_.kind = kind;
    }

    RunSummary execute(const std::vector<std::string>& rows);

  private:
    // False when the run must stop (store failure, full disk, cancel).
    bool convertMailbox(size_t i, size_t count, const std::string& row);
    // Makes the mailbox's output folder, or records why it cannot be made and returns false;
    // goOn then says whether the run goes on with the next mailbox.
    bool prepareOutputFolder(const std::string& mailbox, const std::string& outFolder, bool& goOn);
    void fail(const std::string& mailbox, const std::string& reason) {
        summary_.failures.push_back({mailbox, reason});
    }
    void end();

    RunHost& host_;
    YieldClock clock_;
    const RunSettings& settings_;
    RunSummary summary_;
    std::unique_ptr<StoreOutput> store_;
    FolderNames folderNames_;
    // One reader for the whole run; it keeps its state from one mailbox to the next.
    FrmFinder finder_;
};

RunSummary Run::execute(const std::vector<std::string>& rows) {
    const OutputKind kind = summary_.kind;
    if (kind == OutputKind::None) {
        host_.messageBox("Please select a option to convert file(s).", MsgButtons::Ok,
                         MsgIcon::Information, kAppTitle);
        return summary_;
    }
    if (IsEmptyList(rows)) {
        host_.messageBox("There are no mailbox files in the list.", MsgButtons::Ok,
                         MsgIcon::Information, kAppTitle);
        return summary_;
    }
    std::string folder = host_.browseFolder("Choose Folder to Save...");
    if (folder.empty()) return summary_;
    summary_.outputFolder = AddTrailingSeparator(folder);
    summary_.started = true;
    summary_.mailboxes = rows.size();
    // Convert goes off before the first yield, so that no click can start a second run.
    host_.setConvertEnabled(false);
    clock_.yieldNow();

    if (kind == OutputKind::PST || kind == OutputKind::MSG) {
        if (settings_.storeOutputs) store_ = settings_.storeOutputs(kind);
        if (!store_) {
            summary_.storeFailure =
                std::string("This program cannot write ") + OutputKindName(kind) + " files.";
        } else {
            store_->setYieldClock(&clock_);
            if (StoreError e = store_->open(summary_.outputFolder)) summary_.storeFailure = *e;
        }
    }

    if (summary_.storeFailure.empty()) {
        for (size_t i = 0; i < rows.size(); ++i) {
            bool goOn = convertMailbox(i, rows.size(), rows[i]);
            clock_.yieldNow();
            host_.setBar(Bar::ProgressBar1, double(i + 1) / double(rows.size()) * 100.0);
            if (store_ && summary_.storeFailure.empty() && !summary_.failures.empty()) {
                // A store run ends at its first failure, whatever failed, with the store's
                // failure box; the store keeps what was committed.
                const MailboxFailure& f = summary_.failures.front();
                summary_.storeFailure = f.reason.find(f.mailbox) != std::string::npos
                                            ? f.reason
                                            : f.mailbox + ": " + f.reason;
                goOn = false;
            }
            if (!goOn) break;
        }
    }
    end();
    return summary_;
}

bool Run::convertMailbox(size_t i, size_t count, const std::string& row) {
    host_.selectRow(i);
    SearchDone = false;
    FoundPositions.clear();
    clock_.maybeYield();
    if (clock_.cancelled()) {
        summary_.cancelled = true;
        return false;
    }
    host_.setCaption(Caption::LblProgessCurrent,
                     "Mailbox " + std::to_string(i + 1) + " (of " + std::to_string(count) + ") ");
    // A row is trimmed of blanks, unless it names a file as it is: "Inbox.mbox " is a
    // mailbox of its own, and trimming would convert "Inbox.mbox" (or nothing) in its place.
    std::error_code existsError;
    const std::string mailbox =
        fs::exists(fs::symlink_status(row, existsError)) ? row : TrimBlanks(row);
    const std::string outFolder = MailboxOutputFolder(summary_.outputFolder, mailbox);
    const std::string fileName = FileNameOfPath(mailbox);
    const OutputKind kind = summary_.kind;

    if (mailbox.empty()) {
        fail(row, "The list row is empty");
        return true;
    }
    if (store_) {
        const StoreFolderPath folder =
            i < settings_.storeFolders.size()
                ? settings_.storeFolders[i]
                : StoreFolderPath{folderNames_.unique(StoreFolderName(mailbox))};
        if (StoreError e = store_->beginMailbox(folder, outFolder)) {
            summary_.storeFailure = *e;
            return false;
        }
    }
    host_.setCaption(Caption::LblIMMFile, fileName);
    clock_.maybeYield();
    host_.setCaption(Caption::LblHappening, "Setting Mail Search Filter...");

    FrmFinder& finder = finder_;
    finder.Text2 = "From ";
    clock_.maybeYield();
    host_.setCaption(Caption::LblEmlsFound, "");
    host_.setCaption(Caption::LblProgress, "");
    finder.Open_MBOX(mailbox);
    clock_.maybeYield();
    host_.setBar(Bar::ProgressBar2, 0);
    finder.Find_Click();
    host_.setCaption(Caption::LblHappening, "Searching for messages...");

    StoreError storeError;
    MessageFileDone done;
    if (store_) {
        done = [&](uint64_t k, const std::string& path, const MessageBytes& bytes) {
            storeError = store_->storeMessage(k, path, bytes);
            return !storeError.has_value();
        };
    }
    MailboxCut cutter(clock_, mailbox, outFolder, MessageFileExtension(kind), done,
                      store_ ? store_->handOver() : HandOver::FinalName);
    // A store run hands each message over as soon as the separator after it is found: the
    // store's threads then work while the search goes on instead of waiting for its end.
    // Should the search fail later, the messages already stored stay, as those before a
    // message that cannot be cut do, and the run ends with the store's failure box.
    const bool cutWhileSearching = store_ != nullptr;
    // A message held whole is taken from the blocks the search has just read.
    if (cutWhileSearching) finder.keepRecentBytes(store::kInMemoryLimit);
    enum class Output { NotReady, Ready, Failed } output = Output::NotReady;
    bool goOn = true;
    while (true) {
        clock_.maybeYield();
        if (SearchDone) break;
        if (clock_.cancelled()) break;
        finder.FindNext_Click();
        if (cutWhileSearching && finder.positions().size() >= 2) {
            if (output == Output::NotReady)
                output =
                    prepareOutputFolder(mailbox, outFolder, goOn) ? Output::Ready : Output::Failed;
            if (output == Output::Failed ||
                !cutter.cutFound(finder.positions(),
                                 [&finder](uint64_t at) { return finder.recentBytes(at); }))
                break;
        }
    }
    const FrmFinder::SearchEnd searchEnd = finder.searchEnd();
    const std::string searchError = finder.lastError();
    const int64_t mailboxSize = finder.FileSize;
    finder.CloseFile();
    summary_.messages += cutter.result().written;
    if (output == Output::Failed) return goOn;
    if (!cutter.stopped()) {
        if (clock_.cancelled() || searchEnd == FrmFinder::SearchEnd::Cancelled) {
            summary_.cancelled = true;
            return false;
        }
        // A mailbox too short to hold a message is no failure: it simply has none. Every
        // other search that could not start or finish is.
        std::error_code ec;
        const bool tooShort = mailboxSize < 2 && fs::is_regular_file(mailbox, ec);
        if (searchEnd == FrmFinder::SearchEnd::ReadFailed ||
            (searchEnd == FrmFinder::SearchEnd::NotStarted && !tooShort)) {
            host_.setCaption(Caption::LblEmlsFound, "0 Messages");
            fail(mailbox, searchError.empty() ? "The mailbox could not be searched" : searchError);
            return true;
        }
        if (output == Output::NotReady && !prepareOutputFolder(mailbox, outFolder, goOn))
            return goOn;
        clock_.maybeYield();
    }

    std::vector<uint64_t> positions =
        SplitFoundPositions(FoundPositions).value_or(finder.positions());
    host_.setCaption(Caption::LblEmlsFound, std::to_string(positions.size()) + " Messages");
    clock_.maybeYield();

    const uint64_t before = cutter.result().written;
    const MailboxCutResult& cut =
        cutter.cutRest(positions, mailboxSize > 0 ? static_cast<uint64_t>(mailboxSize) : 0);
    summary_.messages += cut.written - before;
    if (cut.cancelled) {
        summary_.cancelled = true;
        return false;
    }
    if (storeError) {
        summary_.storeFailure = *storeError;
        return false;
    }
    if (cut.error && store_) {
        // In a store run a message file that cannot be written ends the run the way a store
        // failure does: the store keeps what it committed, the user gets the store's message.
        summary_.storeFailure = cut.error->text;
        return false;
    }
    if (cut.error) {
        fail(mailbox, cut.error->text);
        if (cut.error->code == ENOSPC) {
            summary_.stoppedNoSpace = true;
            return false;
        }
    }
    if (store_) {
        if (StoreError e = store_->endMailbox()) {
            summary_.storeFailure = *e;
            return false;
        }
    }
    if (cut.error) return true;
    if (positions.empty())
        summary_.noMessages.push_back(mailbox);
    else
        ++summary_.converted;
    return true;
}

bool Run::prepareOutputFolder(const std::string& mailbox, const std::string& outFolder,
                              bool& goOn) {
    goOn = true;
    if (std::string link = LinkLeadingOutside(summary_.outputFolder, outFolder); !link.empty()) {
        fail(mailbox, "The output folder " + outFolder + " would lie outside " +
                          summary_.outputFolder + ": " + link +
                          " is a symbolic link leading elsewhere");
        return false;
    }
    if (!EnsureFolderPath(outFolder)) {
        std::error_code ec;
        fs::create_directories(outFolder, ec);
        fail(mailbox, "Could not create the output folder " + outFolder + ": " +
                          (ec ? ec.message() : std::string("a part of the path is not a folder")));
        if (ec == std::errc::no_space_on_device) {
            summary_.stoppedNoSpace = true;
            goOn = false;
        }
        return false;
    }
    return true;
}

void Run::end() {
    if (summary_.cancelled) {
        // The program is ending: keep what is committed, say nothing more.
        if (store_) store_->abandon();
        return;
    }
    if (store_ && summary_.storeFailure.empty()) {
        clock_.yieldNow();
        if (StoreError e = store_->close()) summary_.storeFailure = *e;
        summary_.deletedItems = store_->deletedItems();
    } else if (store_) {
        store_->abandon();
    }

    if (!summary_.storeFailure.empty()) {
        host_.messageBox(StoreFailureText(summary_.storeFailure, settings_.troubleshootingAddress),
                         MsgButtons::Ok, MsgIcon::Information, kStoreFailureTitle);
    } else if (!summary_.failures.empty() || summary_.stoppedNoSpace || summary_.converted == 0) {
        host_.messageBox(FailureText(summary_, host_.namesInEndBox()) + DeletedItemsText(summary_),
                         MsgButtons::Ok, MsgIcon::Exclamation, kAppTitle);
    } else if (!summary_.noMessages.empty()) {
        host_.messageBox(
            NoMessageText(summary_, host_.namesInEndBox()) + DeletedItemsText(summary_),
            MsgButtons::Ok, MsgIcon::Exclamation, kAppTitle);
    } else {
        host_.messageBox(SuccessText(summary_.kind) + DeletedItemsText(summary_), MsgButtons::Ok,
                         MsgIcon::Information, kAppTitle);
    }
    host_.setConvertEnabled(true);
    host_.clearOutputOptions();
}

}  // namespace

RunSummary RunConversion(RunHost& host, OutputKind kind, const std::vector<std::string>& rows,
                         const RunSettings& settings) {
    Run run(host, kind, settings);
    return run.execute(rows);
}

std::string MailboxOutputFolder(const std::string& outputFolder, const std::string& mailboxPath) {
    // Lexically normal first, so that no ".." of a mailbox path can lead out of the output
    // folder; then the root goes ("/" here, the drive "C:\" on Windows).
    fs::path normal = fs::path(mailboxPath).lexically_normal();
    fs::path relative = normal.relative_path();
    std::string rest = relative.string();
    while (!rest.empty() && rest.back() == kPathSeparator) rest.pop_back();
    // A relative path that climbs (..) keeps only what is below its last "..".
    fs::path safe;
    for (const auto& part : fs::path(rest)) {
        if (part == "..") {
            safe.clear();
            continue;
        }
        if (part == ".") continue;
        safe /= part;
    }
    return AddTrailingSeparator(outputFolder) + safe.string();
}

std::string StoreFolderName(const std::string& mailboxPath) {
    std::string path = mailboxPath;
    while (path.size() > 1 && path.back() == kPathSeparator) path.pop_back();
    std::string name = TrimBlanks(FileNameOfPath(path));
    if (IsMailboxInBundle(path)) {
        std::string parent = path.substr(0, path.size() - FileNameOfPath(path).size());
        while (!parent.empty() && parent.back() == kPathSeparator) parent.pop_back();
        name = TrimBlanks(FileNameOfPath(parent));
    }
    const std::string whole = name;
    RemoveAll(name, ".mbox");
    RemoveAll(name, ".MBOX");
    // A store folder needs a name: a mailbox named ".mbox" keeps its whole name.
    if (TrimBlanks(name).empty()) name = whole.empty() ? "Mailbox" : whole;
    return name;
}

std::string SuccessText(OutputKind kind) {
    if (kind == OutputKind::PST) {
        return "Your messages from MBOX files has been successfully exported to Outlook (.pst) "
               "file.\r\n" +
               Stars() +
               "\r\nStart Outlook and open converted pst file by clicking File -> Open -> "
               "Outlook Data File. And it all done !";
    }
    return "Your messages from MBOX files has been successfully exported.\r\n" + Stars() + "\r\n";
}

namespace {

// Appends one line per entry while `names` lasts, then how many more there are.
template <class Entries, class Line>
void AppendNamed(std::string& text, const Entries& entries, size_t& names, Line line) {
    const size_t shown = std::min(names, entries.size());
    for (size_t i = 0; i < shown; ++i) text += "\r\n" + line(entries[i]);
    if (shown < entries.size())
        text += "\r\nand " + std::to_string(entries.size() - shown) + " more";
    names -= shown;
}

void AppendNoMessages(std::string& text, const RunSummary& summary, size_t& names) {
    if (summary.noMessages.empty()) return;
    text += "\r\nNo message was found in:";
    AppendNamed(text, summary.noMessages, names, [](const std::string& m) { return m; });
}

}  // namespace

std::string FailureText(const RunSummary& summary, size_t names) {
    std::string text = std::to_string(summary.converted) + " of " +
                       std::to_string(summary.mailboxes) + " mailboxes were converted.";
    if (summary.stoppedNoSpace) text += "\r\nThe run stopped because the output disk is full.";
    if (!summary.failures.empty()) {
        text += "\r\n\r\nThese mailboxes could not be converted:";
        AppendNamed(text, summary.failures, names,
                    [](const MailboxFailure& f) { return f.mailbox + "\r\n    " + f.reason; });
    }
    if (!summary.noMessages.empty()) text += "\r\n";
    AppendNoMessages(text, summary, names);
    return text;
}

std::string NoMessageText(const RunSummary& summary, size_t names) {
    std::string text = SuccessText(summary.kind);
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) text += "\r\n";
    AppendNoMessages(text, summary, names);
    return text;
}

std::string DeletedItemsText(const RunSummary& summary) {
    if (summary.deletedItems == 0) return {};
    return "\r\n" + std::to_string(summary.deletedItems) +
           (summary.deletedItems == 1
                ? " message that its mail program had deleted, but still kept in the mailbox, "
                  "is in Deleted Items."
                : " messages that their mail program had deleted, but still kept in the "
                  "mailbox, are in Deleted Items.");
}

std::string StoreFailureText(const std::string& cause, const std::string& troubleshootingAddress) {
    return "Outlook Session Creation Error !\r\n" + cause +
           "\r\nFor more details visit this link : " + troubleshootingAddress;
}

std::optional<OutputKind> OutputKindFromName(const std::string& name) {
    if (name == "eml") return OutputKind::EML;
    if (name == "emlx") return OutputKind::EMLX;
    if (name == "pst") return OutputKind::PST;
    if (name == "msg") return OutputKind::MSG;
    return std::nullopt;
}

const char* OutputKindName(OutputKind kind) {
    switch (kind) {
        case OutputKind::EML:
            return "eml";
        case OutputKind::EMLX:
            return "emlx";
        case OutputKind::PST:
            return "pst";
        case OutputKind::MSG:
            return "msg";
        case OutputKind::None:
            break;
    }
    return "";
}

}  // namespace quill
