#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "../../../support/files.h"
#include "ltp/heap_reader.h"
#include "pst_test_support.h"
#include "sample_message.h"
#include "store/pst/ltp/ltp.h"
#include "store/pst/messaging/messaging.h"
#include "store/pst/ndb/ndb.h"

namespace quill::store::pst::messaging {
namespace {

using ltp::Utf16le;
using ltp::testing::Hex;
using ltp::testing::ReadProperties;
using ltp::testing::ReadTable;
using quill::testing::ReadFile;
using testing::Quote;
using testing::Recorded;
using testing::RunTool;
using testing::SampleMessage;
using testing::ScratchDir;

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

std::string LongBody() {
    std::string body;
    for (int i = 0; i < 800; ++i) body += "Line " + std::to_string(i) + " of a long body – ✓\r\n";
    return body;
}

// A store with full messages, exported by pffexport and readpst and compared with what went in.
TEST(MessageRoundTrip, MessagesSurviveBothReaders) {
    ScratchDir dir;
    auto file = dir.path() / "messages.pst";
    {
        auto store = PstStore::create(file, "Store");
        FolderId inbox = store->addFolder("Inbox");
        Message first = SampleMessage("Grüße 1");
        // Named properties: a header by name and one by number.
        NamedProperty header{PS_INTERNET_HEADERS, true, 0, "X-Mailer"};
        NamedProperty numbered{PSETID_Common, false, 0x8554, ""};
        first.props.setNamed(header, PT_UNICODE, std::string("Quillmere"));
        first.props.setNamed(numbered, PT_UNICODE, std::string("16.0"));
        store->addMessage(inbox, first);
        store->commit();
        FolderId other = store->addFolder("Other");
        store->addMessage(other, SampleMessage("Grüße 2", false));
        Message third = SampleMessage("Grüße 3");
        third.props.set(PidTagBody, LongBody());  // past one heap allocation: a subnode
        store->addMessage(inbox, third);
        store->close();
    }
    {
        ndb::NdbReader reader(file);
        auto report = reader.check();
        EXPECT_TRUE(report.ok()) << report.summary();
    }
    auto info = RunTool("pffinfo -a " + Quote(file));
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_EQ(info.output.find("rror"), std::string::npos) << info.output;

    auto exp =
        RunTool("pffexport -m items -d -q -t " + Quote(dir.path() / "x") + " " + Quote(file));
    ASSERT_EQ(exp.status, 0) << exp.output;
    EXPECT_EQ(exp.output.find("rror"), std::string::npos) << exp.output;
    auto inbox = dir.path() / "x.export" / "Top of Personal Folders" / "Inbox";
    auto m1 = inbox / "Message00001";
    EXPECT_TRUE(std::filesystem::exists(inbox / "Message00002"));
    EXPECT_FALSE(std::filesystem::exists(inbox / "Message00003"));
    // Subjects, senders, recipients, bodies and attachments of messages the run stores are
    // compared field by field in the PST run tests; here what only this layer sets.
    std::string headers = ReadFile(m1 / "OutlookHeaders.txt");
    EXPECT_NE(headers.find("Flags:\t\t\t\t\t0x00000011 (Read, Has attachments)"), std::string::npos)
        << headers;
    std::string values = ReadFile(m1 / "ItemValues.txt");
    EXPECT_NE(values.find("Maps to entry:\t\t\tX-Mailer\nValue:\n0x00000000: 51 00 75 00 69 00"),
              std::string::npos)
        << "named property by name";
    EXPECT_NE(values.find("Maps to entry type:\t\t0x00008554\nValue:\n0x00000000: 31 00 36 00"),
              std::string::npos)
        << "named property by number";
    EXPECT_EQ(ReadFile(m1 / "Attachments" / "Attachment00003" / "Message00001" / "Message.txt"),
              "Inner body");
    EXPECT_EQ(ReadFile(inbox / "Message00002" / "Message.txt"), LongBody());
    auto other = dir.path() / "x.export" / "Top of Personal Folders" / "Other" / "Message00001";
    EXPECT_NE(ReadFile(other / "OutlookHeaders.txt").find("0x00000010 (Unread, Has attachments)"),
              std::string::npos);

    auto ls = RunTool("lspst " + Quote(file));
    EXPECT_EQ(ls.status, 0);
    EXPECT_NE(ls.output.find("Email\tFrom: Anna Müller\tSubject: RE: Grüße 3"), std::string::npos)
        << ls.output;

    std::filesystem::create_directories(dir.path() / "r");
    auto rp = RunTool("readpst -D -r -8 -o " + Quote(dir.path() / "r") + " " + Quote(file));
    EXPECT_EQ(rp.status, 0) << rp.output;
    EXPECT_NE(rp.output.find("\"Inbox\" - 2 items done, 0 items skipped."), std::string::npos)
        << rp.output;
    EXPECT_NE(rp.output.find("\"Other\" - 1 items done, 0 items skipped."), std::string::npos)
        << rp.output;
}

// Messages made ready on several threads at once, each naming a property of its own, then
// stored in order: every message is there, in order, each with its own named value.
TEST(MessageRoundTrip, MessagesPreparedOnSeveralThreadsAreStoredInOrder) {
    ScratchDir dir;
    auto file = dir.path() / "prepared.pst";
    constexpr int kThreads = 4, kEach = 10;
    {
        auto store = PstStore::create(file, "Store");
        FolderId inbox = store->addFolder("Inbox");
        std::vector<Message> messages(kThreads * kEach);
        std::vector<BuiltMessage> prepared(messages.size());
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = t; i < kThreads * kEach; i += kThreads) {
                    messages[i] = SampleMessage("Number " + std::to_string(i));
                    NamedProperty own{PS_INTERNET_HEADERS, true, 0, "X-Own-" + std::to_string(i)};
                    messages[i].props.setNamed(own, PT_UNICODE, "value " + std::to_string(i));
                    prepared[i] = store->prepareMessage(messages[i]);
                }
            });
        }
        for (std::thread& t : threads) t.join();
        for (const BuiltMessage& p : prepared) store->addPrepared(inbox, p);
        store->close();
    }
    auto exp =
        RunTool("pffexport -m items -d -q -t " + Quote(dir.path() / "x") + " " + Quote(file));
    ASSERT_EQ(exp.status, 0) << exp.output;
    auto inbox = dir.path() / "x.export" / "Top of Personal Folders" / "Inbox";
    for (int i = 0; i < kThreads * kEach; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "Message%05d", i + 1);
        std::string values = ReadFile(inbox / name / "ItemValues.txt");
        const std::string headers = ReadFile(inbox / name / "OutlookHeaders.txt");
        EXPECT_NE(headers.find("RE: Number " + std::to_string(i) + "\n"), std::string::npos)
            << name << "\n"
            << headers;
        std::string own = "Maps to entry:\t\t\tX-Own-" + std::to_string(i) + "\nValue:\n";
        size_t at = values.find(own);
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_EQ(values.substr(at + own.size(), 24), "0x00000000: 76 00 61 00 ") << name;
    }
    EXPECT_FALSE(std::filesystem::exists(inbox / "Message00041"));
}

// A large attachment and body are written a block at a time with the breather called in
// between, so that a window stays responsive during a message of hundreds of megabytes. (The
// PST run tests read such values back, written with the run's breather.)
TEST(MessageRoundTrip, LargeValuesLetTheBreatherInBetweenBlocks) {
    ScratchDir dir;
    auto file = dir.path() / "breathing.pst";
    auto store = PstStore::create(file, "Store");
    FolderId inbox = store->addFolder("Inbox");
    Message m = SampleMessage("Large", true, 2000000);
    m.props.set(PidTagBody, std::string(300000, 'b'));
    size_t calls = 0;
    store->setBreather([&] { ++calls; });
    store->addMessage(inbox, m);
    EXPECT_GE(calls, (2000000 + 600000) / 8176);
    store->setBreather(nullptr);
    store->close();
}

// Tables of a message past one heap allocation: their row matrices go into subnodes of the
// tables' own subnode trees, and 400 attachments need a two-level subnode tree (SIBLOCK).
TEST(MessageRoundTrip, ManyRecipientsAndManyAttachments) {
    ScratchDir dir;
    auto file = dir.path() / "many.pst";
    {
        auto store = PstStore::create(file, "Store");
        FolderId folder = store->addFolder("Inbox");
        Message m;
        m.props.set(PidTagSubject, std::string("Many"));
        for (int i = 0; i < 150; ++i) {
            Recipient r;
            r.props.set(PidTagDisplayName, "Person " + std::to_string(i));
            r.props.set(PidTagEmailAddress, "person" + std::to_string(i) + "@example.org");
            r.props.set(PidTagRecipientType, i % 2 == 0 ? MAPI_TO : MAPI_CC);
            m.recipients.push_back(std::move(r));
        }
        store->addMessage(folder, m);
        for (int i = 0; i < 400; ++i) {
            Attachment a;
            a.props.set(PidTagAttachLongFilename, "file" + std::to_string(i) + ".txt");
            std::string text = "attachment " + std::to_string(i);
            a.data = Bytes(text.begin(), text.end());
            m.attachments.push_back(std::move(a));
        }
        m.props.set(PidTagSubject, std::string("Many attachments"));
        store->addMessage(folder, m);
        store->close();
    }
    auto exp = RunTool("pffexport -m items -q -t " + Quote(dir.path() / "x") + " " + Quote(file));
    ASSERT_EQ(exp.status, 0) << exp.output;
    auto folder = dir.path() / "x.export" / "Top of Personal Folders" / "Inbox";
    std::string recipients = ReadFile(folder / "Message00001" / "Recipients.txt");
    EXPECT_NE(recipients.find("person0@example.org"), std::string::npos);
    EXPECT_NE(recipients.find("person149@example.org"), std::string::npos);
    EXPECT_EQ(ReadFile(folder / "Message00002" / "Attachments" / "400_file399.txt"),
              "attachment 399");

    // libpst 0.6.76 cannot read two-level subnode trees: it still lists both messages, but
    // without the 400 attachments (Outlook and libpff read them).
    std::filesystem::create_directories(dir.path() / "r");
    auto rp = RunTool("readpst -D -r -8 -o " + Quote(dir.path() / "r") + " " + Quote(file));
    EXPECT_NE(rp.output.find("\"Inbox\" - 2 items done, 0 items skipped."), std::string::npos)
        << rp.output;
}

// A folder whose contents table spans many heap blocks and a row matrix of many blocks; libpff
// finds the messages only through that table, libpst through the node tree.
TEST(MessageRoundTrip, LargeFolderIsListedCompletelyAndInOrder) {
    ScratchDir dir;
    auto file = dir.path() / "large.pst";
    const int count = 2000;
    {
        auto store = PstStore::create(file, "Store");
        FolderId folder = store->addFolder("Archive");
        for (int i = 0; i < count; ++i) {
            Message m;
            m.props.set(PidTagSubject, "Message number " + std::to_string(i));
            m.props.set(PidTagSentRepresentingName, "Sender " + std::to_string(i % 7));
            m.props.set(PidTagMessageFlags, int32_t(i % 3 == 0 ? 0 : MSGFLAG_READ));
            store->addMessage(folder, m);
        }
        store->close();
    }
    ndb::NdbReader reader(file);
    EXPECT_TRUE(reader.check().ok()) << reader.check().summary();
    NodeContent contents = reader.readNode(0x808E);
    EXPECT_GT(contents.data.size(), 8176u) << "the table's heap spans several blocks";
    // Each heap block is exactly one data block of the node.
    std::vector<uint32_t> blocks = reader.streamBlockSizes(reader.findNode(0x808E)->bidData);
    ASSERT_GT(blocks.size(), 1u);
    for (size_t i = 0; i + 1 < blocks.size(); ++i) EXPECT_EQ(blocks[i], 8176u) << i;
    auto rows = ReadTable(contents);
    ASSERT_EQ(rows.size(), size_t(count));
    EXPECT_EQ(rows[count - 1][PidTagSubject], EncodeSubject("Message number 1999", ""));
    auto folderProps = ReadProperties(reader.readNode(0x8082));
    EXPECT_EQ(LoadU32(folderProps[PidTagContentCount].data()), uint32_t(count));
    EXPECT_EQ(LoadU32(folderProps[PidTagContentUnreadCount].data()), uint32_t((count + 2) / 3));

    auto exp = RunTool("pffexport -m items -q -t " + Quote(dir.path() / "x") + " " + Quote(file));
    ASSERT_EQ(exp.status, 0) << exp.output;
    auto folder = dir.path() / "x.export" / "Top of Personal Folders" / "Archive";
    EXPECT_TRUE(std::filesystem::exists(folder / "Message02000"));
    EXPECT_FALSE(std::filesystem::exists(folder / "Message02001"));
    EXPECT_NE(ReadFile(folder / "Message02000" / "OutlookHeaders.txt").find("Message number 1999"),
              std::string::npos);

    std::filesystem::create_directories(dir.path() / "r");
    auto rp = RunTool("readpst -D -r -o " + Quote(dir.path() / "r") + " " + Quote(file));
    EXPECT_NE(rp.output.find("\"Archive\" - 2000 items done, 0 items skipped."), std::string::npos)
        << rp.output;
}

}  // namespace
}  // namespace quill::store::pst::messaging
