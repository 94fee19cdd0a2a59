#pragma once
// Shared by the messaging tests: a node sink that records what the store puts.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "store/pst/messaging/messaging.h"
#include "store/pst/messaging/node_sink.h"

namespace quill::store::pst::messaging::testing {

struct RecordedNode {
    Nid parent = 0;
    NodeContent content;
};

// The node with every data source read into its data, as the node database would write it:
// a source may refer to a message that is gone once addMessage() returns.
inline NodeContent OwnedContent(const NodeContent& content) {
    NodeContent owned{content.source ? ReadAll(*content.source) : content.data, {}, nullptr};
    for (const SubnodeContent& s : content.subnodes)
        owned.subnodes.push_back(SubnodeContent{s.nid, OwnedContent(s.content)});
    return owned;
}

class RecordingSink : public NodeSink {
  public:
    explicit RecordingSink(std::map<Nid, RecordedNode>* nodes, int* commits)
        : nodes_(nodes), commits_(commits) {}
    void putNode(Nid nid, Nid parentNid, const NodeContent& content) override {
        (*nodes_)[nid] = RecordedNode{parentNid, OwnedContent(content)};
    }
    void commit() override { ++*commits_; }
    void close() override {}

  private:
    std::map<Nid, RecordedNode>* nodes_;
    int* commits_;
};

// The record key of the stores the tests make.
inline constexpr Guid kStoreKey = {0x22, 0x9D, 0xB5, 0x0A, 0xDC, 0xD9, 0x94, 0x43,
                                   0x85, 0xDE, 0x90, 0xAE, 0xB0, 0x7D, 0x12, 0x70};

// A store writing into a RecordingSink, and what it put.
struct Recorded {
    std::map<Nid, RecordedNode> nodes;
    int commits = 0;
    std::unique_ptr<PstStore> create(const std::string& name = "Store") {
        return PstStore::createOn(std::make_unique<RecordingSink>(&nodes, &commits), name,
                                  kStoreKey);
    }
};

}  // namespace quill::store::pst::messaging::testing
