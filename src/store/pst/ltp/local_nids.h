#pragma once
// Node ids of subnodes: unique within one subnode tree only ([MS-PST] 2.2.2.8.3.3).

#include <cstdint>

#include "store/pst/pst_base.h"

namespace quill::store::pst::ltp {

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
