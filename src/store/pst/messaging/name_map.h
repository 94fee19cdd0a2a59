#pragma once
// The named-property map of a store (NID 0x61, [MS-PST] 2.4.7): which property id from 0x8000
// on stands for which named property, with the hash buckets Outlook looks names up by.

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "store/model.h"
#include "store/pst/node_content.h"

namespace quill::store::pst::messaging {

class NameIdMap {
  public:
    // Starts with the entry Outlook's own maps start with (PSETID_Appointment LID 0x8205 as
    // 0x8000; libpff refuses a store whose map has no entries) and a string name, as Outlook's
    // maps always have.
    NameIdMap();

    // The property id of this named property, given a new one when it is not yet mapped.
    // Safe from several threads at once, as are the others.
    uint16_t idOf(const NamedProperty& name);
    size_t size() const {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }
    bool changed() const {
        std::lock_guard lock(mutex_);
        return changed_;
    }
    void markWritten() {
        std::lock_guard lock(mutex_);
        changed_ = false;
    }

    NodeContent build() const;

  private:
    std::vector<NamedProperty> entries_;
    std::map<NamedProperty, uint16_t> ids_;
    bool changed_ = true;
    mutable std::mutex mutex_;
};

// The CRC-32 of [MS-PST] 5.3 (seed 0, no final inversion), used to hash string names.
uint32_t PstCrc32(const uint8_t* data, size_t size);

}  // namespace quill::store::pst::messaging
