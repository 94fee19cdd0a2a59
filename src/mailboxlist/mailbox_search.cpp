#include "mailboxlist/mailbox_search.h"

#include <filesystem>
#include <string_view>
#include <system_error>

#include "shell/frontend.h"
#include "shell/paths.h"

namespace quill {
namespace {

// Blanks removed from both ends, ASCII letters in lower case.
std::string TestText(std::string_view text) {
    auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(' ');
    std::string folded(text.substr(first, last - first + 1));
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

bool EndsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool IsMailboxFileName(const std::string& path) {
    std::string test = TestText(FileNameOfPath(path));
    return EndsWith(test, ".mbox") || EndsWith(test, ".mbx");
}

bool IsMailboxInBundle(const std::string& path) {
    auto cut = path.find_last_of(kPathSeparator);
    if (cut == std::string::npos || TestText(path.substr(cut + 1)) != "mbox") return false;
    std::string folder = path.substr(0, cut);
    return EndsWith(TestText(FileNameOfPath(folder)), ".mbox");
}

MailboxSearch FindMailboxesUnder(const std::string& folder, YieldClock* clock) {
    MailboxSearch result;
    std::shared_ptr<TextCollection> files;
    {
        pathLogger walker;
        walker.PathLogInit();
        walker.fullFileNamesOnly(true);
        walker.setYieldClock(clock);
        walker.LogPath(folder);
        files = walker.fullFileNames();
        result.unreadableFolders = walker.unreadableFolders();
        result.cancelled = walker.walkCancelled();
        walker.Terminate();
    }
    for (const auto& [key, path] : *files) {
        if (clock && clock->maybeYield() && clock->cancelled()) {
            result.cancelled = true;
            break;
        }
        if (!IsMailboxFileName(path) && !IsMailboxInBundle(path)) continue;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(std::filesystem::path(path), ec)) continue;
        result.mailboxes.push_back(path);
    }
    return result;
}

}  // namespace quill
