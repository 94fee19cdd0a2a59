#pragma once
// Which files below a folder are mailboxes: the folder import of the window and the
// command-line converter's folder arguments both use FindMailboxesUnder. Qt-free.

#include <string>
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

struct MailboxSearch {
    std::vector<std::string> mailboxes;               // full paths, in walk order
    std::vector<UnreadableFolder> unreadableFolders;  // skipped, with the system's reason
    bool cancelled = false;                           // the front end asked to stop
};

// Walks `folder` breadth-first (pathLogger, entries in name order) and returns every
// regular file that IsMailboxFileName or IsMailboxInBundle accepts, paths built on the
// folder as given. Devices, pipes and dangling links with mailbox names are left out:
// reading them would hang or fail. With a clock, the walk yields after each folder and stops
// when the front end cancels.
MailboxSearch FindMailboxesUnder(const std::string& folder, YieldClock* clock = nullptr);

}  // namespace quill
