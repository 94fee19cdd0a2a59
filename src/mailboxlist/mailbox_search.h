#pragma once
// Which files below a folder are mailboxes: the folder import of the window and the
// command-line converter's folder arguments both use FindMailboxesUnder. Qt-free.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "mailboxlist/path_logger.h"

namespace quill {

class YieldClock;

// True when the path's last component, with blanks removed from both ends and in lower
// case, ends in ".mbox" or ".mbx" (x.MbOx yes; x.mbox.bak, x.mboxes, a file named mbox no).
bool IsMailboxFileName(const std::string& path);

// True for a file named "mbox" in a folder whose name ends in ".mbox": the way one
// widespread mail client exports a mailbox (a bundle folder holding the mailbox file).
bool IsMailboxInBundle(const std::string& path);

// True when the line (without its line end) looks like the line that begins a message in a
// mailbox: "From ", a sender without blanks, then a date that begins with a day or month name
// and holds a time and a four-digit year ("From - Mon Dec  7 10:00:00 2026", "From
// 1784@xxx Sat Dec 05 10:00:00 +0000 2026"). Prose that begins with "From " rarely does.
bool LooksLikeSeparatorLine(std::string_view line);

// True when the file begins, after an optional UTF-8 byte-order mark, with such a line: how a
// mailbox without a mailbox's name (Thunderbird's "Inbox", an export's "All mail") is told
// from the index, summary and other files beside it. Reads at most the first kilobyte.
bool BeginsLikeMailbox(const std::string& path);

struct MailboxSearch {
    std::vector<std::string> mailboxes;               // full paths, in walk order
    std::vector<UnreadableFolder> unreadableFolders;  // skipped, with the system's reason
    bool cancelled = false;                           // the front end asked to stop
};

// Walks `folder` breadth-first (pathLogger, entries in name order) and returns every
// regular file that IsMailboxFileName or IsMailboxInBundle accepts, or with `anyName` also
// BeginsLikeMailbox, paths built on the folder as given. Devices, pipes and dangling links are
// left out: reading them would hang or fail. With a clock, the walk yields after each folder
// and stops when the front end cancels.
MailboxSearch FindMailboxesUnder(const std::string& folder, YieldClock* clock = nullptr,
                                 bool anyName = false);

// The store's folders of a run that keeps the folder trees of its folder arguments, as mail
// programs lay their mailboxes out on disk:
// - a folder argument becomes a folder at the top of the store, and each mailbox below it a
//   folder named after it without ".mbox" or ".mbx", nested as the folders on disk are;
// - Thunderbird's "X.sbd" folder holds the subfolders of mailbox "X", Apple Mail's "X.mbox"
//   bundle is mailbox "X" and the bundles inside it are its subfolders, and a plain folder
//   is the folder of the mailbox of its name beside it, or a folder of its own: all three
//   are the folder of the name without ".sbd", ".mbox" and ".mbx";
// - a mailbox whose folder another mailbox already has under the same parent gets " (2)",
//   " (3)"..., as does an argument whose name is taken at the top.
// Each call gives the folders from the top of the store down to the mailbox's own.
class StoreFolderTree {
  public:
    // A folder argument: its folder at the top of the store, for the mailboxes below it.
    void folderArgument(const std::string& folder);
    // A mailbox that FindMailboxesUnder found below the last folder argument.
    std::vector<std::string> mailboxBelow(const std::string& mailbox);
    // A mailbox named on its own: a folder at the top.
    std::vector<std::string> mailbox(const std::string& mailbox);

  private:
    struct Node {
        std::map<std::string, Node> children;
        bool taken = false;  // a mailbox's or an argument's own folder
    };
    // The child of `parent` that `name` leads to, its name appended to `path`. On the way to
    // a mailbox: the child of that name, made when missing. A mailbox's or argument's own
    // (`take`): that child when it is not taken yet, else a new one, " (2)", " (3)"...
    static Node& Place(Node& parent, const std::string& name, bool take,
                       std::vector<std::string>& path);

    Node top_;
    std::string folder_;  // the last folder argument, and its top folder
    std::string folderName_;
};

// The name a folder or mailbox on disk gives its store folder: without blanks at both ends,
// ".sbd", then ".mbox" or ".mbx" (any case); the whole name when nothing else is left.
std::string TreeFolderName(const std::string& name);

}  // namespace quill
