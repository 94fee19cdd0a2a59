#pragma once
// Where the messaging layer puts the nodes it builds: the node database of a new file, or a
// recording double in the tests.

#include <functional>

#include "store/pst/node_content.h"

namespace quill::store::pst::messaging {

class NodeSink {
  public:
    virtual ~NodeSink() = default;
    // Stores (or replaces) a top-level node with its subnodes.
    virtual void putNode(Nid nid, Nid parentNid, const NodeContent& content) = 0;
    // Makes everything put so far durable; the header is written last.
    virtual void commit() = 0;
    virtual void close() = 0;
    // Called now and then while a large node is written (see PstStore::setBreather).
    virtual void setBreather(std::function<void()> breather) {}
};

}  // namespace quill::store::pst::messaging
