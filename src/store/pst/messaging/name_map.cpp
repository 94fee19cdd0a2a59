#include "store/pst/messaging/name_map.h"

#include <array>

#include "store/pst/ltp/ltp.h"
#include "store/pst/messaging/pst_error.h"
#include "store/pst/pst_base.h"

namespace quill::store::pst::messaging {

using namespace ltp;

namespace {

constexpr uint32_t kBucketCount = 251;
constexpr PropTag PidTagNameidBucketBase = 0x10000102;

}  // namespace

uint32_t PstCrc32(const uint8_t* data, size_t size) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

NameIdMap::NameIdMap() {
    NamedProperty first;
    first.propertySet = PSETID_Appointment;
    first.lid = 0x8205;
    idOf(first);
    // A map without a string name has an empty string stream, which pst-extractor cannot
    // read; Outlook's stores always name PidNameKeywords (the categories).
    NamedProperty keywords;
    keywords.propertySet = PS_PUBLIC_STRINGS;
    keywords.isString = true;
    keywords.name = "Keywords";
    idOf(keywords);
}

uint16_t NameIdMap::idOf(const NamedProperty& name) {
    std::lock_guard lock(mutex_);
    auto it = ids_.find(name);
    if (it != ids_.end()) return it->second;
    if (entries_.size() >= 0x7FFF)
        throw PstError(PstError::Kind::Format, "the store's named-property map is full");
    uint16_t id = static_cast<uint16_t>(0x8000 + entries_.size());
    entries_.push_back(name);
    ids_.emplace(name, id);
    changed_ = true;
    return id;
}

NodeContent NameIdMap::build() const {
    std::lock_guard lock(mutex_);
    // GUID stream: every property set other than the two well-known ones, in first-use order.
    std::vector<Guid> guids;
    Bytes guidStream, entryStream, stringStream;
    std::map<uint32_t, Bytes> buckets;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const NamedProperty& e = entries_[i];
        uint16_t wGuid;
        if (e.propertySet == PS_MAPI) {
            wGuid = 1;
        } else if (e.propertySet == PS_PUBLIC_STRINGS) {
            wGuid = 2;
        } else {
            size_t n = 0;
            while (n < guids.size() && guids[n] != e.propertySet) ++n;
            if (n == guids.size()) {
                guids.push_back(e.propertySet);
                guidStream.insert(guidStream.end(), e.propertySet.begin(), e.propertySet.end());
            }
            wGuid = static_cast<uint16_t>(n + 3);
        }
        // NAMEID ([MS-PST] 2.4.7.1): dwPropertyID, then N | wGuid << 1 | wPropIdx << 16.
        uint32_t dwPropertyID, hashKey;
        uint32_t second = (uint32_t(wGuid) << 1) | (uint32_t(i) << 16);
        if (e.isString) {
            Bytes name = Utf16le(e.name);
            dwPropertyID = static_cast<uint32_t>(stringStream.size());
            AppendU32(stringStream, static_cast<uint32_t>(name.size()));
            stringStream.insert(stringStream.end(), name.begin(), name.end());
            while (stringStream.size() % 4 != 0) stringStream.push_back(0);
            second |= 1;
            hashKey = PstCrc32(name.data(), name.size());
        } else {
            dwPropertyID = e.lid;
            hashKey = e.lid;
        }
        AppendU32(entryStream, dwPropertyID);
        AppendU32(entryStream, second);
        Bytes& bucket = buckets[(hashKey ^ (second & 0xFFFF)) % kBucketCount];
        AppendU32(bucket, hashKey);
        AppendU32(bucket, second);
    }

    std::vector<Property> props{Int32Property(PidTagNameidBucketCount, kBucketCount),
                                BinaryProperty(PidTagNameidStreamGuid, guidStream),
                                BinaryProperty(PidTagNameidStreamEntry, entryStream),
                                BinaryProperty(PidTagNameidStreamString, stringStream)};
    for (auto& [b, records] : buckets)
        props.push_back(BinaryProperty(PidTagNameidBucketBase + (b << 16), records));
    LocalNids nids;
    return BuildPropertyContext(std::move(props), nids);
}

}  // namespace quill::store::pst::messaging
