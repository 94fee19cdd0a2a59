#include "store/mime/mail_state.h"

#include <algorithm>

namespace quill::store::mime {

namespace {

// Values of the follow-up flag, icon and last action properties for a message.
constexpr int32_t kFollowupFlagged = 2;
constexpr int32_t kRedFlag = 6;
constexpr int32_t kVerbReplyToSender = 102, kVerbForward = 104;
constexpr int32_t kIconReplied = 0x105, kIconForwarded = 0x106;
// PidLidFlagRequest: the words Outlook shows with a flag.
constexpr uint32_t kLidFlagRequest = 0x8530;

constexpr uint32_t kMozillaRead = 0x0001, kMozillaReplied = 0x0002, kMozillaMarked = 0x0004,
                   kMozillaExpunged = 0x0008, kMozillaForwarded = 0x1000;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trimmed(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return std::string(s);
}

std::string Folded(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Status and X-Status hold letters only.
bool IsLetterList(const std::string& value) {
    return std::all_of(value.begin(), value.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsBlank(c);
    });
}

std::optional<uint32_t> MozillaBits(const std::string& value) {
    if (value.empty() || value.size() > 8) return std::nullopt;
    uint32_t bits = 0;
    for (char c : value) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) return std::nullopt;
        bits = bits << 4 | static_cast<uint32_t>(digit);
    }
    return bits;
}

// Labels separated by commas, each possibly in double quotes (which may hold commas); nothing
// when a quote is left open or text follows a closing quote.
std::optional<std::vector<std::string>> CommaList(const std::string& value) {
    std::vector<std::string> items;
    size_t at = 0;
    while (at <= value.size()) {
        while (at < value.size() && IsBlank(value[at])) ++at;
        std::string item;
        if (at < value.size() && value[at] == '"') {
            size_t close = value.find('"', at + 1);
            if (close == std::string::npos) return std::nullopt;
            item = value.substr(at + 1, close - at - 1);
            at = close + 1;
            while (at < value.size() && IsBlank(value[at])) ++at;
            if (at < value.size() && value[at] != ',') return std::nullopt;
        } else {
            size_t comma = std::min(value.find(',', at), value.size());
            item = value.substr(at, comma - at);
            if (item.find('"') != std::string::npos) return std::nullopt;
            at = comma;
        }
        item = Trimmed(item);
        if (!item.empty()) items.push_back(item);
        ++at;  // past the comma
    }
    return items;
}

// Thunderbird's keywords that are no tags it shows: junk marks and receipt bookkeeping.
bool IsMozillaBookkeeping(const std::string& key) {
    const std::string k = Folded(key);
    return k == "junk" || k == "nonjunk" || k == "$junk" || k == "$notjunk" || k == "$mdnsent" ||
           k == "$forwarded" || k == "$replied";
}

std::string MozillaTag(const std::string& key) {
    static const char* const kLabels[] = {"Important", "Work", "Personal", "To Do", "Later"};
    const std::string k = Folded(key);
    if (k.size() == 7 && k.starts_with("$label") && k[6] >= '1' && k[6] <= '5')
        return kLabels[k[6] - '1'];
    return key;
}

void AddCategory(std::vector<std::string>& categories, const std::string& name) {
    const std::string folded = Folded(name);
    for (const std::string& c : categories)
        if (Folded(c) == folded) return;
    categories.push_back(name);
}

std::string Malformed(const char* header, const std::string& value) {
    return std::string("unreadable ") + header + " header \"" + value +
           "\"; the message converts as if it had none";
}

}  // namespace

NamedProperty CategoriesProperty() {
    NamedProperty keywords;
    keywords.propertySet = PS_PUBLIC_STRINGS;
    keywords.isString = true;
    keywords.name = "Keywords";
    return keywords;
}

MailState ReadMailState(const MailStateHeaders& h, std::vector<std::string>& warnings) {
    MailState state;
    std::optional<uint32_t> mozilla;
    if (h.mozillaStatus) {
        mozilla = MozillaBits(*h.mozillaStatus);
        if (!mozilla) warnings.push_back(Malformed("X-Mozilla-Status", *h.mozillaStatus));
    }
    const bool status = h.status && IsLetterList(*h.status);
    if (h.status && !status) warnings.push_back(Malformed("Status", *h.status));
    const bool xStatus = h.xStatus && IsLetterList(*h.xStatus);
    if (h.xStatus && !xStatus) warnings.push_back(Malformed("X-Status", *h.xStatus));
    std::optional<std::vector<std::string>> labels;
    if (h.gmailLabels) {
        labels = CommaList(*h.gmailLabels);
        if (!labels) warnings.push_back(Malformed("X-Gmail-Labels", *h.gmailLabels));
    }

    // Thunderbird keeps its own bits up to date; a Status it left from elsewhere may be old.
    if (mozilla) {
        state.read = *mozilla & kMozillaRead;
        state.answered = *mozilla & kMozillaReplied;
        state.flagged = *mozilla & kMozillaMarked;
        state.expunged = *mozilla & kMozillaExpunged;
        state.forwarded = *mozilla & kMozillaForwarded;
    } else {
        if (status) state.read = h.status->find('R') != std::string::npos;
        if (xStatus) {
            state.flagged = h.xStatus->find('F') != std::string::npos;
            state.answered = h.xStatus->find('A') != std::string::npos;
        }
    }

    for (const std::string& value : h.keywords) {
        std::optional<std::vector<std::string>> words = CommaList(value);
        if (!words) {
            warnings.push_back(Malformed("Keywords", value));
            continue;
        }
        for (const std::string& w : *words) AddCategory(state.categories, w);
    }
    if (h.mozillaKeys) {
        std::string key;
        for (size_t i = 0; i <= h.mozillaKeys->size(); ++i) {
            if (i < h.mozillaKeys->size() && !IsBlank((*h.mozillaKeys)[i])) {
                key += (*h.mozillaKeys)[i];
                continue;
            }
            if (!key.empty() && !IsMozillaBookkeeping(key))
                AddCategory(state.categories, MozillaTag(key));
            key.clear();
        }
    }
    if (labels) {
        for (const std::string& label : *labels) {
            if (label == "Unread") {
                state.read = false;
            } else if (label == "Starred") {
                state.flagged = true;
            } else if (label != "Opened") {
                AddCategory(state.categories, label);
            }
        }
    }
    return state;
}

void ApplyMailState(const MailState& state, PropertyBag& props) {
    if (!state.read)
        props.set(PidTagMessageFlags, props.int32(PidTagMessageFlags).value_or(0) & ~MSGFLAG_READ);
    if (state.flagged) {
        props.set(PidTagFlagStatus, kFollowupFlagged);
        props.set(PidTagFollowupIcon, kRedFlag);
        NamedProperty request;
        request.propertySet = PSETID_Common;
        request.lid = kLidFlagRequest;
        props.setNamed(request, PT_UNICODE, std::string("Follow up"));
    }
    if (state.answered || state.forwarded) {
        // One verb is kept: a reply when the message was answered and forwarded too.
        props.set(PidTagLastVerbExecuted, state.answered ? kVerbReplyToSender : kVerbForward);
        props.set(PidTagIconIndex, state.answered ? kIconReplied : kIconForwarded);
    }
    if (!state.categories.empty())
        props.setNamed(CategoriesProperty(), PT_MV_UNICODE, MultiString(state.categories));
}

}  // namespace quill::store::mime
