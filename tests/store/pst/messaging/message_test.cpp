#include <gtest/gtest.h>

#include "ltp/heap_reader.h"
#include "pst_test_support.h"
#include "sample_message.h"
#include "store/pst/ltp/ltp.h"
#include "store/pst/messaging/messaging.h"

namespace quill::store::pst::messaging {
namespace {

using ltp::Utf16le;
using ltp::testing::Hex;
using ltp::testing::ReadProperties;
using ltp::testing::ReadTable;
using testing::Recorded;
using testing::SampleMessage;

const SubnodeContent* Subnode(const NodeContent& node, Nid nid) {
    for (const SubnodeContent& s : node.subnodes)
        if (s.nid == nid) return &s;
    return nullptr;
}

TEST(MessageWriter, MessageNodeHoldsWhatReadersDoNotShow) {
    NameIdMap names;
    Message m = SampleMessage("Grüße");
    m.recipients[1].props.set(PidTagTransmittableDisplayName, std::string("Carol (transmitted)"));
    BuiltMessage built = BuildMessage(m, names);
    const NodeContent& node = built.node;

    auto props = ReadProperties(node);
    EXPECT_FALSE(props.count(PidTagNormalizedSubject)) << "calculated in a PST, never stored";
    EXPECT_FALSE(props.count(PidTagSubjectPrefix));
    EXPECT_FALSE(props.count(PidTagHasAttachments));

    ASSERT_NE(Subnode(node, NID_RECIPIENT_TABLE), nullptr);
    // Names, addresses and types of recipients and the attachments' data are read back
    // through pffexport and readpst by the round trips; here what readers do not show.
    auto recipients = ReadTable(Subnode(node, NID_RECIPIENT_TABLE)->content);
    ASSERT_EQ(recipients.size(), 2u);
    EXPECT_EQ(recipients[0][PidTagSearchKey], Hex("534D54503A424F42404558414D504C452E4F524700"));
    // A property outside the usual columns gets a column of its own rather than being lost.
    EXPECT_EQ(recipients[1][PidTagTransmittableDisplayName], Utf16le("Carol (transmitted)"));
}

// Counts and contents rows follow the messages; a finished folder takes no more messages and
// its table is not written again (nor emptied).
TEST(MessageWriter, FolderCountsAndContentsRowsFollowTheMessagesUntilTheFolderIsFinished) {
    Recorded r;
    auto store = r.create();
    auto& nodes = r.nodes;
    FolderId inbox = store->addFolder("Inbox");
    store->addMessage(inbox, SampleMessage("one", true, 10));
    store->addMessage(inbox, SampleMessage("two", false, 10));
    Message bare;  // nothing at all: still a valid message
    store->addMessage(inbox, bare);
    store->finishFolder(inbox);
    store->commit();
    auto props = ReadProperties(nodes[inbox.nid].content);
    EXPECT_EQ(LoadU32(props[PidTagContentCount].data()), 3u);
    auto top = ReadTable(nodes[0x802D].content);
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(LoadU32(top[1][PidTagContentCount].data()), 3u);
    EXPECT_EQ(LoadU32(top[1][PidTagContentUnreadCount].data()), 2u);
    auto contents = ReadTable(nodes[0x808E].content);
    ASSERT_EQ(contents.size(), 3u);
    EXPECT_EQ(LoadU32(contents[0][ltp::PidTagLtpRowId].data()), 0x200024u);
    EXPECT_EQ(contents[1][PidTagSubject], EncodeSubject("RE: two", "RE: "));
    EXPECT_EQ(LoadU32(contents[2][PidTagMessageFlags].data()), 0u);
    EXPECT_EQ(contents[2][PidTagMessageClass], Utf16le("IPM.Note"));
    try {
        store->addMessage(inbox, SampleMessage("four", true, 10));
        FAIL() << "a finished folder took a message";
    } catch (const PstError& e) {
        EXPECT_EQ(e.kind(), PstError::Kind::FolderFinished);
    }
    // A commit writes only what changed: nothing, then a new folder's own nodes and the top
    // folder's hierarchy table.
    nodes.clear();
    store->commit();
    EXPECT_TRUE(nodes.empty());
    store->addFolder("Sent");
    store->commit();
    std::vector<Nid> written;
    for (auto& [nid, node] : nodes) written.push_back(nid);
    EXPECT_EQ(written, (std::vector<Nid>{0x802D, 0x80A2, 0x80AD, 0x80AE, 0x80AF}));
}

}  // namespace
}  // namespace quill::store::pst::messaging
