#pragma once
// Property context ([MS-PST] 2.3.3): a heap whose user root is a B-tree-on-heap of
// (property id -> type, value or HNID) records.

#include <vector>

#include "store/pst/ltp/local_nids.h"
#include "store/pst/ltp/prop_value.h"
#include "store/pst/node_content.h"

namespace quill::store::pst::ltp {

// PC BTH record ([MS-PST] 2.3.3.3).
struct PCBTHRecord {
    uint16_t wPropId = 0;
    uint16_t wPropType = 0;
    uint32_t dwValueHnid = 0;
};
static_assert(sizeof(PCBTHRecord) == 8);

// Builds the node content of a property context. Values of at most 4 bytes are stored in the
// record; empty variable-size values as HNID 0; others up to 3580 bytes in the heap, larger
// ones in subnodes of this node (NIDs from `nids`); a borrowed value (BorrowedProperty)
// becomes a subnode that the node database writes from where the value is held.
// `extraSubnodes` (attachments, embedded messages, tables of a message) are added to the
// node's subnodes as they are. Property ids must be unique. Throws LtpError for a value of
// the wrong size for its type or one longer than kMaxValueSize.
NodeContent BuildPropertyContext(std::vector<Property> properties, LocalNids& nids,
                                 std::vector<SubnodeContent> extraSubnodes = {});

}  // namespace quill::store::pst::ltp
