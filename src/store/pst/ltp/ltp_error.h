#pragma once
// The error of the LTP layer: a structure that cannot be built as asked (a heap past its
// 65,536 blocks, a property id given twice, a cell that does not fit its column). The message
// says which structure and why; the messaging layer adds which object it was building.

#include <stdexcept>
#include <string>

#include "store/proptags.h"

namespace quill::store::pst::ltp {

class LtpError : public std::runtime_error {
  public:
    explicit LtpError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace quill::store::pst::ltp
