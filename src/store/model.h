#pragma once
// The message model: an Outlook message as a set of MAPI properties with its recipient
// rows and attachments. The MIME import fills it; the .msg and .pst writers read it.
// Qt-free. Strings are held as UTF-8 and written as UTF-16LE by the writers.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "store/proptags.h"

namespace quill::store {

using Bytes = std::vector<uint8_t>;

// 100-nanosecond intervals since 1601-01-01 00:00 UTC (a Windows FILETIME).
struct FileTime {
    uint64_t ticks = 0;
    bool operator==(const FileTime&) const = default;
};

// One property value. The alternative must match the tag's type:
// PT_LONG int32_t, PT_I8 int64_t, PT_BOOLEAN bool, PT_SYSTIME FileTime,
// PT_UNICODE std::string (UTF-8), PT_BINARY Bytes, PT_MV_UNICODE MultiString.
using MultiString = std::vector<std::string>;
using PropValue = std::variant<int32_t, int64_t, bool, FileTime, std::string, Bytes, MultiString>;

// True when the value's alternative is the one the property type needs.
bool ValueFitsType(uint16_t type, const PropValue& value);

// A GUID in its on-disk byte order (little-endian Data1..Data3, as in [MS-DTYP] 2.3.4).
using Guid = std::array<uint8_t, 16>;

// Property sets of named properties ([MS-OXPROPS] 1.3.2). Both writers map PS_MAPI and
// PS_PUBLIC_STRINGS to fixed GUID indexes 1 and 2; names in PS_INTERNET_HEADERS are
// lower-cased by Outlook before hashing.
inline constexpr Guid PS_MAPI = {0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr Guid PS_PUBLIC_STRINGS = {0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr Guid PS_INTERNET_HEADERS = {0x86, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                             0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr Guid PSETID_Common = {0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr Guid PSETID_Appointment = {0x02, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                            0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// A named property ([MS-OXCDATA] 2.6.1): a property set and either a numeric id (LID) or a
// string name. Writers map each one to a property id from 0x8000 on.
struct NamedProperty {
    Guid propertySet{};
    bool isString = false;
    uint32_t lid = 0;
    std::string name;  // UTF-8, when isString
    auto operator<=>(const NamedProperty&) const = default;
};

struct NamedValue {
    NamedProperty name;
    uint16_t type = 0;
    PropValue value;
};

class PropertyBag {
  public:
    void set(PropTag tag, PropValue value);
    void erase(PropTag tag) { tagged_.erase(tag); }
    bool has(PropTag tag) const { return tagged_.count(tag) != 0; }
    const PropValue* find(PropTag tag) const;

    std::optional<std::string> string(PropTag tag) const;
    std::optional<int32_t> int32(PropTag tag) const;
    std::optional<bool> boolean(PropTag tag) const;
    std::optional<FileTime> time(PropTag tag) const;
    const Bytes* binary(PropTag tag) const;

    // Tagged properties, ordered by tag.
    const std::map<PropTag, PropValue>& tagged() const { return tagged_; }

    void setNamed(const NamedProperty& name, uint16_t type, PropValue value);
    const NamedValue* findNamed(const NamedProperty& name) const;
    const std::vector<NamedValue>& named() const { return named_; }

  private:
    std::map<PropTag, PropValue> tagged_;
    std::vector<NamedValue> named_;
};

struct Recipient {
    PropertyBag props;  // PidTagRecipientType, PidTagDisplayName, PidTagEmailAddress, ...
};

struct Message;

struct Attachment {
    PropertyBag props;  // everything but the data itself
    // PidTagAttachDataBinary for an attachment by value; kept out of props so that large
    // data is held once and handed to the writer as it is.
    Bytes data;
    // Set for an embedded message (PidTagAttachMethod ATTACH_EMBEDDED_MSG).
    std::unique_ptr<Message> embedded;
};

struct Message {
    PropertyBag props;
    std::vector<Recipient> recipients;
    std::vector<Attachment> attachments;
};

}  // namespace quill::store
