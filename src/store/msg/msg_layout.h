#pragma once
// The parts of an Outlook .msg file ([MS-OXMSG]) that do not depend on the compound file:
// storage and stream names, property stream headers and entries, the UTF-16LE form of our
// strings, and the named-property map kept in `__nameid_version1.0`.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "store/model.h"

namespace quill::store::msg {

// The object a property stream describes; it fixes the header size ([MS-OXMSG] 2.4.1).
enum class ObjectKind { TopMessage, EmbeddedMessage, Recipient, Attachment };

inline constexpr const char* kPropertyStreamName = "__properties_version1.0";
inline constexpr const char* kNameIdStorageName = "__nameid_version1.0";

// Property flags written on every entry: PROPATTR_READABLE | PROPATTR_WRITABLE.
inline constexpr uint32_t kPropertyFlags = 0x00000006;
// Size field of a PtypObject entry (embedded message storage), [MS-OXMSG] 2.4.2.2.
inline constexpr uint32_t kObjectSizeField = 0xFFFFFFFF;
// At most this many attachment storages per message ([MS-OXMSG] 2.2.2).
inline constexpr size_t kMaxAttachments = 2048;
// A version 3 compound file (512-byte sectors) and every stream in it stay at or below
// 2 GB ([MS-CFB] 2.6.1 Stream Size, 2.9).
inline constexpr uint64_t kMaxCompoundFileSize = 0x80000000ull;
// Named properties take the ids 0x8000 to 0xFFFE ([MS-OXMSG] 2.2.3).
inline constexpr uint32_t kFirstNamedId = 0x8000;
inline constexpr uint32_t kMaxNamedProperties = 0xFFFE - 0x8000 + 1;

// Root and embedded-message storage class id {00020D0B-0000-0000-C000-000000000046},
// in its on-disk byte order.
inline constexpr std::array<uint8_t, 16> kMessageClsid = {
    0x0B, 0x0D, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
size_t PropertyStreamHeaderSize(ObjectKind kind);
// The header of a property stream; the counts matter only for messages. It has room for
// `entries` entries after it.
Bytes PropertyStreamHeader(ObjectKind kind, uint32_t recipientCount, uint32_t attachmentCount,
                           size_t entries = 0);

// One 16-byte entry: tag, flags, then the inline value (fixed-length types) or the Size
// field and 4 reserved bytes (everything kept in a stream), [MS-OXMSG] 2.4.2.
void AppendPropertyEntry(Bytes& out, PropTag tag, const std::array<uint8_t, 8>& value);

// A storage or stream name, at most 31 characters, kept in place: every stream of every message
// is named, and most names are too long for a string to hold without the heap.
class EntryName {
  public:
    EntryName(std::string_view text, uint32_t number) { append(text, number); }
    // Appends text, then the number in 8 upper-case hex digits.
    void append(std::string_view text, uint32_t number);

    std::string_view view() const { return {text_.data(), size_}; }
    operator std::string_view() const { return view(); }
    operator std::string() const { return std::string(view()); }
    friend bool operator==(const EntryName& a, std::string_view b) { return a.view() == b; }

  private:
    std::array<char, 32> text_;
    size_t size_ = 0;
};

EntryName SubstgName(PropTag tag);                            // __substg1.0_0037001F
EntryName SubstgValueName(PropTag tag, uint32_t valueIndex);  // __substg1.0_8000101F-00000001
EntryName RecipientStorageName(uint32_t index);               // __recip_version1.0_#0000000A
EntryName AttachmentStorageName(uint32_t index);              // __attach_version1.0_#0000000A

// The UTF-16LE form of a UTF-8 string, without terminator. Invalid UTF-8 and NUL characters
// (which would cut the string short in every reader) become U+FFFD.
Bytes ToUtf16le(std::string_view utf8);

// CRC-32 of [MS-OXRTFCP] 3.1.3.2 (no initial or final inversion), which [MS-OXMSG] 2.2.3.2.2
// uses to hash string names.
uint32_t NameCrc32(const uint8_t* data, size_t size);

// The named properties of one .msg file. Every named property of the message, its recipients,
// attachments and embedded messages is mapped here, in the top-level storage only.
class NamedPropertyMap {
  public:
    // Adds every named property of the message tree, in a fixed order (message, recipients,
    // attachments, then embedded messages depth-first). False when there are more than the
    // id range holds.
    bool collect(const Message& message);

    // Property id (0x8000 + index) of a collected name.
    uint16_t idOf(const NamedProperty& name) const;
    size_t size() const { return entries_.size(); }

    // The streams of `__nameid_version1.0` ([MS-OXMSG] 2.2.3.1).
    Bytes guidStream() const;
    Bytes entryStream() const;
    Bytes stringStream() const;
    // Property-name-to-id hash streams by stream id (0x1000 to 0x101E); only non-empty ones.
    std::map<uint16_t, Bytes> hashStreams() const;

  private:
    struct Entry {
        NamedProperty name;
        uint16_t guidIndex = 0;
        uint32_t stringOffset = 0;  // string names: offset of its record in the string stream
    };
    bool add(const NamedProperty& name);
    bool collectBag(const PropertyBag& bag);
    uint32_t indexKindWord(size_t index) const;

    std::vector<Entry> entries_;
    std::map<NamedProperty, size_t> index_;
    std::vector<Guid> guids_;  // GUID stream content; index 3 is guids_[0]
    Bytes strings_;
};

}  // namespace quill::store::msg
