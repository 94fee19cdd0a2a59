#pragma once
// Node ids of subnodes: unique within one subnode tree only ([MS-PST] 2.2.2.8.3.3).

#include <cstdint>

#include "store/pst/node_content.h"

namespace quill::store::pst::ltp {

// NID types this layer hands out ([MS-PST] 2.2.2.1).
inline constexpr uint8_t NID_TYPE_HID = 0x00;
inline constexpr uint8_t NID_TYPE_LTP = 0x1F;

constexpr Nid MakeNid(uint8_t type, uint32_t index) {
    return (index << 5) | type;
}
constexpr uint8_t NidType(Nid nid) {
    return nid & 0x1F;
}

// Hands out subnode NIDs of one subnode tree: one index counter for every type, starting where
// Outlook starts (0x401: NIDs 0x803F, 0x805F, ... for large values).
class LocalNids {
  public:
    explicit LocalNids(uint32_t firstIndex = 0x401) : nextIndex_(firstIndex) {}
    Nid next(uint8_t nidType) { return MakeNid(nidType, nextIndex_++); }

  private:
    uint32_t nextIndex_;
};

}  // namespace quill::store::pst::ltp
