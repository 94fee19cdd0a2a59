#pragma once
// The meeting point of the PST writer's two lower layers: the lists-tables-properties
// layer builds what one node holds, the node database stores it ([MS-PST] 2.2 and 2.3).

#include <cstdint>
#include <vector>

#include "store/model.h"

namespace quill::store::pst {

using Nid = uint32_t;  // node id: 5-bit type in the low bits, 27-bit index above ([MS-PST] 2.2.2.1)

struct SubnodeContent;

// The byte stream of one node or subnode, of any length (the node database cuts it into
// data blocks and a data tree as needed), and the node's own subnodes.
struct NodeContent {
    Bytes data;
    std::vector<SubnodeContent> subnodes;
};

struct SubnodeContent {
    Nid nid = 0;  // local to the parent node's subnode tree
    NodeContent content;
};

}  // namespace quill::store::pst
