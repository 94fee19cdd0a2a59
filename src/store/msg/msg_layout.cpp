#include "store/msg/msg_layout.h"

#include "store/utf16.h"

#include <glib.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace quill::store::msg {

namespace {

[[maybe_unused]] void PutLe16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutLe32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};

}  // namespace

size_t PropertyStreamHeaderSize(ObjectKind kind) {
    switch (kind) {
        case ObjectKind::TopMessage:
            return 32;
        case ObjectKind::EmbeddedMessage:
            return 24;
        case ObjectKind::Recipient:
        case ObjectKind::Attachment:
            return 8;
    }
    return 8;
}

Bytes PropertyStreamHeader(ObjectKind kind, uint32_t recipientCount, uint32_t attachmentCount,
                           size_t entries) {
    Bytes out;
    out.reserve(PropertyStreamHeaderSize(kind) + 16 * entries);
    out.resize(8, 0);  // reserved
    if (kind == ObjectKind::TopMessage || kind == ObjectKind::EmbeddedMessage) {
        // Storages are numbered 0..n-1, so the next free number equals the count.
        PutLe32(out, recipientCount);   // next recipient id
        PutLe32(out, attachmentCount);  // next attachment id
        PutLe32(out, recipientCount);
        PutLe32(out, attachmentCount);
        if (kind == ObjectKind::TopMessage) out.resize(32, 0);  // reserved
    }
    return out;
}

void AppendPropertyEntry(Bytes& out, PropTag tag, const std::array<uint8_t, 8>& value) {
    uint8_t entry[16];
    for (int i = 0; i < 4; ++i) {
        entry[i] = static_cast<uint8_t>(tag >> (8 * i));
        entry[4 + i] = static_cast<uint8_t>(kPropertyFlags >> (8 * i));
    }
    std::memcpy(entry + 8, value.data(), 8);
    out.insert(out.end(), entry, entry + 16);
}

void EntryName::append(std::string_view text, uint32_t number) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (size_ + text.size() + 8 > 31)
        throw std::logic_error("the entry name \"" + std::string(view()) + std::string(text) +
                               "\" is too long");
    std::memcpy(text_.data() + size_, text.data(), text.size());
    size_ += text.size();
    for (int shift = 28; shift >= 0; shift -= 4) text_[size_++] = kDigits[(number >> shift) & 0xF];
}

EntryName SubstgName(PropTag tag) {
    return EntryName("__substg1.0_", tag);
}

EntryName SubstgValueName(PropTag tag, uint32_t valueIndex) {
    EntryName name = SubstgName(tag);
    name.append("-", valueIndex);
    return name;
}

EntryName RecipientStorageName(uint32_t index) {
    return EntryName("__recip_version1.0_#", index);
}

EntryName AttachmentStorageName(uint32_t index) {
    return EntryName("__attach_version1.0_#", index);
}

Bytes ToUtf16le(std::string_view utf8) {
    return Utf16le(utf8);
}

uint32_t NameCrc32(const uint8_t* data, size_t size) {
    // zlib inverts the register before and after; starting from ~0 and inverting the result
    // leaves the plain table-driven CRC that [MS-OXRTFCP] specifies.
    uLong crc = 0xFFFFFFFFul;
    while (size > 0) {
        uInt chunk = size > 0x40000000u ? 0x40000000u : static_cast<uInt>(size);
        crc = crc32(crc, data, chunk);
        data += chunk;
        size -= chunk;
    }
    return static_cast<uint32_t>(~crc);
}

bool NamedPropertyMap::add(const NamedProperty& name) {
    if (index_.count(name)) return true;
    if (entries_.size() >= kMaxNamedProperties) return false;
    Entry entry{name, 0, 0};
    if (name.propertySet == PS_MAPI) {
        entry.guidIndex = 1;
    } else if (name.propertySet == PS_PUBLIC_STRINGS) {
        entry.guidIndex = 2;
    } else {
        size_t i = 0;
        while (i < guids_.size() && guids_[i] != name.propertySet) ++i;
        if (i == guids_.size()) guids_.push_back(name.propertySet);
        entry.guidIndex = static_cast<uint16_t>(3 + i);
    }
    if (name.isString) {
        // Records: 4-byte length in bytes, the UTF-16LE name without terminator, padded so
        // that the next record starts on a multiple of 4.
        Bytes wide = ToUtf16le(name.name);
        entry.stringOffset = static_cast<uint32_t>(strings_.size());
        PutLe32(strings_, static_cast<uint32_t>(wide.size()));
        strings_.insert(strings_.end(), wide.begin(), wide.end());
        while (strings_.size() % 4 != 0) strings_.push_back(0);
    }
    index_.emplace(name, entries_.size());
    entries_.push_back(std::move(entry));
    return true;
}

bool NamedPropertyMap::collectBag(const PropertyBag& bag) {
    for (const auto& nv : bag.named())
        if (!add(nv.name)) return false;
    return true;
}

bool NamedPropertyMap::collect(const Message& message) {
    if (!collectBag(message.props)) return false;
    for (const auto& r : message.recipients)
        if (!collectBag(r.props)) return false;
    for (const auto& a : message.attachments) {
        if (!collectBag(a.props)) return false;
        if (a.embedded && !collect(*a.embedded)) return false;
    }
    return true;
}

uint16_t NamedPropertyMap::idOf(const NamedProperty& name) const {
    return static_cast<uint16_t>(kFirstNamedId + index_.at(name));
}

uint32_t NamedPropertyMap::indexKindWord(size_t index) const {
    const Entry& e = entries_[index];
    return (static_cast<uint32_t>(index) << 16) | (static_cast<uint32_t>(e.guidIndex) << 1) |
           (e.name.isString ? 1u : 0u);
}

Bytes NamedPropertyMap::guidStream() const {
    Bytes out;
    for (const auto& g : guids_) out.insert(out.end(), g.begin(), g.end());
    return out;
}

Bytes NamedPropertyMap::entryStream() const {
    Bytes out;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        PutLe32(out, e.name.isString ? e.stringOffset : e.name.lid);
        PutLe32(out, indexKindWord(i));
    }
    return out;
}

Bytes NamedPropertyMap::stringStream() const {
    return strings_;
}

std::map<uint16_t, Bytes> NamedPropertyMap::hashStreams() const {
    std::map<uint16_t, Bytes> out;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        uint32_t key = e.name.lid;
        uint32_t mix = static_cast<uint32_t>(e.guidIndex) << 1;
        if (e.name.isString) {
            // Outlook lower-cases Internet header names before hashing ([MS-OXMSG] 5 <1>).
            std::string text = e.name.name;
            if (e.name.propertySet == PS_INTERNET_HEADERS) {
                std::unique_ptr<gchar, GFreeDeleter> valid(
                    g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
                std::unique_ptr<gchar, GFreeDeleter> lower(g_utf8_strdown(valid.get(), -1));
                text = lower.get();
            }
            Bytes wide = ToUtf16le(text);
            key = NameCrc32(wide.data(), wide.size());
            mix |= 1;
        }
        uint16_t streamId = static_cast<uint16_t>(0x1000 + (key ^ mix) % 0x1F);
        Bytes& stream = out[streamId];
        PutLe32(stream, key);
        PutLe32(stream, indexKindWord(i));
    }
    return out;
}

}  // namespace quill::store::msg
