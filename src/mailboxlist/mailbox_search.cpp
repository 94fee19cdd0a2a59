#include "mailboxlist/mailbox_search.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

#include "shell/frontend.h"
#include "shell/paths.h"

namespace quill {
namespace {

std::string TrimBlanks(const std::string& text) {
    auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

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

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The name without `suffix` (lower case) at its end, in any case.
std::string WithoutSuffix(const std::string& name, std::string_view suffix) {
    if (name.size() < suffix.size() ||
        !StartsWithNoCase(std::string_view(name).substr(name.size() - suffix.size()), suffix))
        return name;
    return name.substr(0, name.size() - suffix.size());
}

}  // namespace

bool LooksLikeSeparatorLine(std::string_view line) {
    if (!line.starts_with("From ")) return false;
    size_t at = 5;
    const size_t senderEnd = line.find_first_of(" \t", at);
    if (senderEnd == at || senderEnd == std::string_view::npos) return false;
    at = line.find_first_not_of(" \t", senderEnd);
    if (at == std::string_view::npos) return false;
    const std::string_view date = line.substr(at);
    bool named = false;
    for (std::string_view word :
         {"mon", "tue", "wed", "thu", "fri", "sat", "sun", "jan", "feb", "mar", "apr", "may", "jun",
          "jul", "aug", "sep", "oct", "nov", "dec"})
        named = named || StartsWithNoCase(date, word);
    bool time = false, year = false;
    for (size_t i = 0; i < date.size(); ++i) {
        if (!IsDigit(date[i]) || (i > 0 && IsDigit(date[i - 1]))) continue;
        size_t end = i;
        while (end < date.size() && IsDigit(date[end])) ++end;
        const size_t digits = end - i;
        if (digits <= 2 && end + 2 < date.size() && date[end] == ':' && IsDigit(date[end + 1]) &&
            IsDigit(date[end + 2]))
            time = true;
        if (digits == 4 && (end == date.size() || date[end] != ':')) year = true;
    }
    return named && time && year;
}

bool BeginsLikeMailbox(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[1024 + 3];
    in.read(head, sizeof head);
    std::string_view text(head, static_cast<size_t>(in.gcount()));
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    return LooksLikeSeparatorLine(line);
}

std::string TreeFolderName(const std::string& name) {
    const std::string whole = TrimBlanks(name);
    std::string stripped = WithoutSuffix(whole, ".sbd");
    const std::string mbox = WithoutSuffix(stripped, ".mbox");
    stripped = mbox != stripped ? mbox : WithoutSuffix(stripped, ".mbx");
    return TrimBlanks(stripped).empty() ? (whole.empty() ? name : whole) : stripped;
}

StoreFolderTree::Node& StoreFolderTree::Place(Node& parent, const std::string& name, bool take,
                                              std::vector<std::string>& path) {
    auto found = parent.children.find(name);
    if (found == parent.children.end() || (take && !found->second.taken)) {
        Node& node = parent.children[name];
        node.taken = node.taken || take;
        path.push_back(name);
        return node;
    }
    if (!take) {
        path.push_back(name);
        return found->second;
    }
    for (int n = 2;; ++n) {
        std::string candidate = name + " (" + std::to_string(n) + ")";
        if (parent.children.count(candidate)) continue;
        Node& node = parent.children[candidate];
        node.taken = true;
        path.push_back(candidate);
        return node;
    }
}

void StoreFolderTree::folderArgument(const std::string& folder) {
    std::string path = folder;
    while (path.size() > 1 && path.back() == kPathSeparator) path.pop_back();
    folder_ = AddTrailingSeparator(path);
    std::string name = FileNameOfPath(path);
    std::vector<std::string> placed;
    Place(top_, name.empty() ? path : TreeFolderName(name), true, placed);
    folderName_ = placed.front();
}

std::vector<std::string> StoreFolderTree::mailboxBelow(const std::string& mailbox) {
    std::vector<std::string> path{folderName_};
    std::vector<std::string> parts;
    const std::string rest =
        mailbox.starts_with(folder_) ? mailbox.substr(folder_.size()) : FileNameOfPath(mailbox);
    for (size_t at = 0; at <= rest.size();) {
        size_t cut = rest.find(kPathSeparator, at);
        if (cut == std::string::npos) cut = rest.size();
        if (cut > at) parts.push_back(rest.substr(at, cut - at));
        at = cut + 1;
    }
    // The file of a bundle is the bundle's mailbox: the bundle folder names it.
    if (IsMailboxInBundle(mailbox) && !parts.empty()) parts.pop_back();
    Node* node = &top_.children.at(folderName_);
    for (size_t i = 0; i < parts.size(); ++i)
        node = &Place(*node, TreeFolderName(parts[i]), i + 1 == parts.size(), path);
    return path;
}

std::vector<std::string> StoreFolderTree::mailbox(const std::string& mailbox) {
    std::string named = mailbox;
    while (named.size() > 1 && named.back() == kPathSeparator) named.pop_back();
    if (IsMailboxInBundle(named)) named.resize(named.size() - FileNameOfPath(named).size() - 1);
    std::vector<std::string> path;
    const std::string name = FileNameOfPath(named);
    Place(top_, name.empty() ? named : TreeFolderName(name), true, path);
    return path;
}

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

MailboxSearch FindMailboxesUnder(const std::string& folder, YieldClock* clock, bool anyName) {
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
        const bool named = IsMailboxFileName(path) || IsMailboxInBundle(path);
        if (!named && !anyName) continue;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(std::filesystem::path(path), ec)) continue;
        if (named || BeginsLikeMailbox(path)) result.mailboxes.push_back(path);
    }
    return result;
}

}  // namespace quill
