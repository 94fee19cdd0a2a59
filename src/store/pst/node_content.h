#pragma once
// The meeting point of the PST writer's two lower layers: the lists-tables-properties
// layer builds what one node holds, the node database stores it ([MS-PST] 2.2 and 2.3).

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "store/model.h"
#include "store/pst/pst_base.h"

namespace quill::store::pst {

// A byte stream that is not held as one buffer but handed out piece by piece when the node
// database writes it: a large value (an attachment of hundreds of megabytes, a long body)
// written from where the message model keeps it, without a second whole copy in memory.
// Whatever it reads from must outlive the node content that holds it.
class StreamSource {
  public:
    using Sink = std::function<void(std::span<const uint8_t>)>;
    virtual ~StreamSource() = default;
    // The exact number of bytes produce() hands out.
    virtual uint64_t size() const = 0;
    // Hands out the whole stream, in order, in pieces of any size.
    virtual void produce(const Sink& sink) const = 0;
};

// The whole stream in one buffer, for the few places that need it at once (a table cell).
inline Bytes ReadAll(const StreamSource& source) {
    Bytes out;
    out.reserve(source.size());
    source.produce(
        [&](std::span<const uint8_t> piece) { out.insert(out.end(), piece.begin(), piece.end()); });
    return out;
}

struct SubnodeContent;

// The byte stream of one node or subnode, of any length (the node database cuts it into
// data blocks and a data tree as needed), and the node's own subnodes.
struct NodeContent {
    Bytes data;
    std::vector<SubnodeContent> subnodes;
    // When set, the node's byte stream comes from here and `data` is empty.
    std::shared_ptr<const StreamSource> source = nullptr;

    uint64_t size() const { return source ? source->size() : data.size(); }
};

struct SubnodeContent {
    Nid nid = 0;  // local to the parent node's subnode tree
    NodeContent content;
};

}  // namespace quill::store::pst
