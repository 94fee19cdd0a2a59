#pragma once
// What a mail program kept about a message in its mailbox, beside the message itself: whether
// it was read, flagged, answered or forwarded, deleted but still kept, and its tags. Read from
// the headers mail programs write into mbox files, and given to the message as Outlook keeps
// the same: the read flag, the follow-up flag, the last verb and its icon, and the categories.
//
//   Status:            R read, O old (seen but unread)
//   X-Status:          F flagged, A answered
//   X-Mozilla-Status:  hexadecimal bits, 0x0001 read, 0x0002 replied, 0x0004 marked,
//                      0x0008 expunged, 0x1000 forwarded (Thunderbird; it decides where given)
//   X-Gmail-Labels:    labels (Google's export); "Unread" and "Starred" are states
//   Keywords:          tags, split at commas
//   X-Mozilla-Keys:    Thunderbird's tags, split at blanks; $label1..$label5 are its tags
//                      Important, Work, Personal, To Do and Later
// Where no header says anything, a message is read, unflagged and without categories. A
// malformed header is ignored for its own field, with a warning. Qt-free and GMime-free.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/model.h"

namespace quill::store::mime {

struct MailState {
    bool read = true;
    bool flagged = false;
    bool answered = false;
    bool forwarded = false;
    bool expunged = false;  // deleted in Thunderbird, kept in the file until it compacts it
    std::vector<std::string> categories;  // in order, without duplicates
};

// The raw values (unfolded, trimmed; nullopt when absent) of the headers that say it.
struct MailStateHeaders {
    std::optional<std::string> status, xStatus, mozillaStatus, gmailLabels, mozillaKeys;
    std::vector<std::string> keywords;  // every Keywords header, in order
};

// The state the headers give; a sentence for each malformed header goes to `warnings`.
MailState ReadMailState(const MailStateHeaders& headers, std::vector<std::string>& warnings);

// Gives the message what Outlook keeps for that state: no read flag in PidTagMessageFlags when
// unread; PidTagFlagStatus 2 (flagged) with a red flag and "Follow up"; PidTagLastVerbExecuted
// 102 (replied) or 104 (forwarded) with its icon; the categories as the named property
// Keywords of PS_PUBLIC_STRINGS.
void ApplyMailState(const MailState& state, PropertyBag& props);

// The named property Outlook shows as a message's categories.
NamedProperty CategoriesProperty();

}  // namespace quill::store::mime
