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

TEST(MessageWriter, SubjectCarriesThePrefixLengthMarker) {
    struct Case {
        const char* subject;
        const char* prefix;
        const char* expected;
    } cases[] = {
        {"RE: Hi", "RE: ", "0100 0500 5200 4500 3A00 2000 4800 6900"},
        {"Hi", "", "0100 0100 4800 6900"},
        {"Hi", "RE: ", "0100 0100 4800 6900"},  // a prefix that is not at the start is ignored
        {"", "", "0100 0100"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EncodeSubject(c.subject, c.prefix), Hex(c.expected)) << c.subject;
}

TEST(MessageWriter, MessageNodeHoldsItsTablesAttachmentsAndLargeValuesAsSubnodes) {
    NameIdMap names;
    Message m = SampleMessage("Grüße");
    m.recipients[1].props.set(PidTagTransmittableDisplayName, std::string("Carol (transmitted)"));
    NamedProperty named;
    named.propertySet = {0x86, 0x03, 0x02, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
    named.isString = true;
    named.name = "x-mailer";
    m.props.setNamed(named, PT_UNICODE, std::string("Quillmere"));
    BuiltMessage built = BuildMessage(m, names);
    const NodeContent& node = built.node;

    auto props = ReadProperties(node);
    EXPECT_EQ(props[PidTagSubject], EncodeSubject("RE: Grüße", "RE: "));
    EXPECT_EQ(LoadU32(props[PidTagMessageFlags].data()),
              uint32_t(MSGFLAG_READ | MSGFLAG_HASATTACH));
    EXPECT_FALSE(props.count(PidTagNormalizedSubject)) << "calculated in a PST, never stored";
    EXPECT_FALSE(props.count(PidTagSubjectPrefix));
    EXPECT_FALSE(props.count(PidTagHasAttachments));
    for (PropTag required : {PidTagMessageClass, PidTagMessageSize, PidTagMessageStatus,
                             PidTagCreationTime, PidTagLastModificationTime, PidTagSearchKey})
        EXPECT_TRUE(props.count(required)) << std::hex << required;
    EXPECT_EQ(props[MakeTag(0x8002, PT_UNICODE)], Utf16le("Quillmere"))
        << "first name after the two every map starts with";

    ASSERT_NE(Subnode(node, NID_RECIPIENT_TABLE), nullptr);
    ASSERT_NE(Subnode(node, NID_ATTACHMENT_TABLE), nullptr);
    // Names, addresses and types of recipients and the attachments' data are read back
    // through pffexport and readpst by the round trips; here what readers do not show.
    auto recipients = ReadTable(Subnode(node, NID_RECIPIENT_TABLE)->content);
    ASSERT_EQ(recipients.size(), 2u);
    EXPECT_EQ(recipients[0][PidTagSearchKey], Hex("534D54503A424F42404558414D504C452E4F524700"));
    // A property outside the usual columns gets a column of its own rather than being lost.
    EXPECT_EQ(recipients[1][PidTagTransmittableDisplayName], Utf16le("Carol (transmitted)"));
    EXPECT_FALSE(recipients[0].count(PidTagTransmittableDisplayName));

    auto attachments = ReadTable(Subnode(node, NID_ATTACHMENT_TABLE)->content);
    ASSERT_EQ(attachments.size(), 3u);
    // Each attachment is a subnode of the message, its row id in the table.
    const SubnodeContent* big = Subnode(node, LoadU32(attachments[1][ltp::PidTagLtpRowId].data()));
    ASSERT_NE(big, nullptr);
    auto bigProps = ReadProperties(big->content);
    EXPECT_EQ(bigProps[PidTagAttachSize], attachments[1][PidTagAttachSize]);
    // The forwarded message: a message node inside the attachment, {nid, size} in the object.
    const SubnodeContent* fwd = Subnode(node, LoadU32(attachments[2][ltp::PidTagLtpRowId].data()));
    ASSERT_NE(fwd, nullptr);
    auto fwdProps = ReadProperties(fwd->content);
    const Bytes& object = fwdProps[PidTagAttachDataObject];
    ASSERT_EQ(object.size(), 8u);
    const SubnodeContent* inner = Subnode(fwd->content, LoadU32(object.data()));
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(LoadU32(object.data()) & 0x1F, 4u) << "NID_TYPE_NORMAL_MESSAGE";
    EXPECT_EQ(ReadProperties(inner->content)[PidTagSubject], EncodeSubject("Inner subject", ""));
    EXPECT_NE(Subnode(inner->content, NID_RECIPIENT_TABLE), nullptr);

    // The contents row repeats the object's values.
    std::map<PropTag, Bytes> row;
    for (const ltp::Property& p : built.contentsRow) row[p.tag] = p.value;
    for (PropTag tag :
         {PidTagSubject, PidTagMessageFlags, PidTagMessageSize, PidTagClientSubmitTime,
          PidTagSentRepresentingName, PidTagDisplayTo, PidTagMessageStatus})
        EXPECT_EQ(row[tag], props[tag]) << std::hex << tag;
}

TEST(MessageWriter, FolderCountsAndContentsRowsFollowTheMessages) {
    Recorded r;
    auto store = r.create();
    auto& nodes = r.nodes;
    FolderId inbox = store->addFolder("Inbox");
    store->addMessage(inbox, SampleMessage("one", true, 10));
    store->addMessage(inbox, SampleMessage("two", false, 10));
    Message bare;  // nothing at all: still a valid message
    store->addMessage(inbox, bare);
    store->commit();
    EXPECT_EQ(nodes[0x200024].parent, inbox.nid);
    EXPECT_EQ(nodes[0x200064].parent, inbox.nid);
    auto props = ReadProperties(nodes[inbox.nid].content);
    EXPECT_EQ(LoadU32(props[PidTagContentCount].data()), 3u);
    EXPECT_EQ(LoadU32(props[PidTagContentUnreadCount].data()), 2u);
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
}

TEST(MessageWriter, AFinishedFolderIsWrittenOnceAndTakesNoMoreMessages) {
    Recorded r;
    auto store = r.create();
    auto& nodes = r.nodes;
    FolderId inbox = store->addFolder("Inbox");
    store->addMessage(inbox, SampleMessage("one", true, 10));
    store->finishFolder(inbox);
    store->commit();
    EXPECT_EQ(ReadTable(nodes[0x808E].content).size(), 1u);
    try {
        store->addMessage(inbox, SampleMessage("two", true, 10));
        FAIL() << "a finished folder took a message";
    } catch (const PstError& e) {
        EXPECT_EQ(e.kind(), PstError::Kind::FolderFinished);
    }
    // Another folder later: the finished one's table is not written again (nor emptied).
    store->addFolder("Sent");
    nodes.clear();
    store->commit();
    EXPECT_FALSE(nodes.count(0x808E));
    EXPECT_TRUE(nodes.count(0x80AE));
}

}  // namespace
}  // namespace quill::store::pst::messaging
