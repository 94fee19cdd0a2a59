#include <gtest/gtest.h>

#include "ltp/heap_reader.h"
#include "pst_test_support.h"
#include "store/pst/ltp/ltp.h"
#include "store/pst/messaging/messaging.h"

namespace quill::store::pst::messaging {
namespace {

using ltp::Utf16le;
using ltp::testing::Hex;
using ltp::testing::ReadProperties;
using ltp::testing::ReadTable;
using testing::kStoreKey;
using testing::Recorded;

std::vector<std::string> Names(const std::vector<ltp::testing::Row>& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows) {
        const Bytes& name = r.at(PidTagDisplayName);
        std::string text;
        for (size_t i = 0; i + 1 < name.size(); i += 2) text += static_cast<char>(name[i]);
        out.push_back(text);
    }
    return out;
}

TEST(PstStore, NewStoreHasEveryNodeOfAMinimalStoreWithItsParent) {
    Recorded r;
    auto store = r.create();
    EXPECT_EQ(r.commits, 1) << "a new store is committed at once";
    const std::pair<Nid, Nid> expected[] = {
        {0x21, 0},       {0x61, 0},   {0x122, 0x122},   {0x12D, 0},      {0x12E, 0},
        {0x12F, 0},      {0x1E1, 0},  {0x201, 0},       {0x261, 0},      {0x60D, 0},
        {0x60E, 0},      {0x60F, 0},  {0x610, 0},       {0x671, 0},      {0x692, 0},
        {0x2223, 0x122}, {0x2226, 0}, {0x2227, 0},      {0x2230, 0},     {0x8022, 0x122},
        {0x802D, 0},     {0x802E, 0}, {0x802F, 0},      {0x8042, 0x122}, {0x804D, 0},
        {0x804E, 0},     {0x804F, 0}, {0x8062, 0x8022}, {0x806D, 0},     {0x806E, 0},
        {0x806F, 0},
    };
    for (auto [nid, parent] : expected) {
        ASSERT_TRUE(r.nodes.count(nid)) << std::hex << nid;
        EXPECT_EQ(r.nodes[nid].parent, parent) << std::hex << nid;
    }
    // The root folder's object and the 0xC01 heap exactly as Outlook writes them.
    EXPECT_EQ(r.nodes[0x122].content.data, Hex("34 00 EC BC 20 00 00 00 00 00 00 00"
                                               "B5 02 06 00 40 00 00 00"
                                               "01 30 1F 00 00 00 00 00  02 36 03 00 00 00 00 00"
                                               "03 36 03 00 00 00 00 00  0A 36 0B 00 01 00 00 00"
                                               "02 00 00 00 0C 00 14 00 34 00"));
    EXPECT_EQ(r.nodes[0xC01].content.data,
              Hex("18 00 EC 9C 20 00 00 00 00 00 00 00 40 00 00 00 B5 10 04 00 00 00 00 00 02 "
                  "00 00 00 0C 00 10 00 18 00"));
    EXPECT_EQ(r.nodes[0x201].content.data, Hex("23 22 00 00"));
    EXPECT_TRUE(r.nodes[0x1E1].content.data.empty());
}

TEST(PstStore, StoreObjectNamesTheStoreAndPointsAtItsSpecialFolders) {
    Recorded r;
    auto store = r.create("MBOX Mailbox : Created - 5.12.26 9.7.03");
    auto props = ReadProperties(r.nodes[0x21].content);
    EXPECT_EQ(props[PidTagDisplayName], Utf16le("MBOX Mailbox : Created - 5.12.26 9.7.03"));
    EXPECT_EQ(props[PidTagRecordKey], Bytes(kStoreKey.begin(), kStoreKey.end()));
    EXPECT_EQ(props[PidTagIpmSubTreeEntryId],
              Hex("00000000 229DB50ADCD9944385DE90AEB07D1270 22800000"));
    EXPECT_EQ(LoadU32(props[PidTagIpmWastebasketEntryId].data() + 20), 0x8062u);
    EXPECT_EQ(LoadU32(props[PidTagFinderEntryId].data() + 20), 0x8042u);
    EXPECT_EQ(LoadU32(props[PidTagValidFolderMask].data()), 0x89u);
    EXPECT_EQ(LoadU32(props[PidTagPstPassword].data()), 0u);
    // The root's hierarchy: top of personal folders, search root, spam search folder.
    auto rows = ReadTable(r.nodes[0x12D].content);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(LoadU32(rows[0][ltp::PidTagLtpRowId].data()), 0x8022u);
    EXPECT_EQ(LoadU32(rows[1][ltp::PidTagLtpRowId].data()), 0x8042u);
    EXPECT_EQ(LoadU32(rows[2][ltp::PidTagLtpRowId].data()), 0x2223u);
    EXPECT_EQ(Names(rows), (std::vector<std::string>{"Top of Personal Folders", "Search Root",
                                                     "SPAM Search Folder 2"}));
}

TEST(PstStore, FoldersAreListedUnderTheTopFolderInOrderAndOnlyChangesAreWritten) {
    Recorded r;
    auto store = r.create();
    FolderId a = store->addFolder("Inbox");
    FolderId b = store->addFolder("Sent");
    EXPECT_EQ(a.nid, 0x8082u);
    EXPECT_EQ(b.nid, 0x80A2u);
    r.nodes.clear();
    store->commit();
    for (Nid nid : {0x8082u, 0x808Du, 0x808Eu, 0x808Fu, 0x80A2u, 0x802Du})
        EXPECT_TRUE(r.nodes.count(nid)) << std::hex << nid;
    EXPECT_EQ(r.nodes[0x8082].parent, 0x8022u);
    auto rows = ReadTable(r.nodes[0x802D].content);
    EXPECT_EQ(Names(rows), (std::vector<std::string>{"Deleted Items", "Inbox", "Sent"}));
    auto props = ReadProperties(r.nodes[0x8082].content);
    EXPECT_EQ(props[PidTagContainerClass], Utf16le("IPF.Note"));
    EXPECT_EQ(props[PidTagSubfolders], Hex("00 00 00 00"));
    EXPECT_EQ(rows[1][PidTagContainerClass], Utf16le("IPF.Note"));
    EXPECT_EQ(rows[1][PidTagSubfolders], Hex("00"));
    // Nothing changed: nothing is written again.
    r.nodes.clear();
    store->commit();
    EXPECT_TRUE(r.nodes.empty());
    // One more folder: its own nodes and the top folder's hierarchy table, nothing else.
    store->addFolder("Drafts");
    r.nodes.clear();
    store->commit();
    std::vector<Nid> written;
    for (auto& [nid, node] : r.nodes) written.push_back(nid);
    EXPECT_EQ(written, (std::vector<Nid>{0x802D, 0x80C2, 0x80CD, 0x80CE, 0x80CF}));
}

TEST(PstStore, MisuseGetsTypedErrors) {
    Recorded r;
    auto store = r.create();
    auto kindOf = [](auto&& f) {
        try {
            f();
        } catch (const PstError& e) {
            return e.kind();
        }
        return PstError::Kind::Format;
    };
    EXPECT_EQ(kindOf([&] { store->addFolder(""); }), PstError::Kind::BadName);
    EXPECT_EQ(kindOf([&] { store->addFolder("x", FolderId{NID_ROOT_FOLDER}); }),
              PstError::Kind::NoSuchFolder);
    EXPECT_EQ(kindOf([&] { store->addMessage(FolderId{0x1234}, Message{}); }),
              PstError::Kind::NoSuchFolder);
    store->close();
    EXPECT_EQ(kindOf([&] { store->addFolder("x"); }), PstError::Kind::Closed);
    EXPECT_EQ(kindOf([&] { store->commit(); }), PstError::Kind::Closed);
}

class FailingSink : public NodeSink {
  public:
    void putNode(Nid, Nid, const NodeContent&) override {}
    void commit() override {
        if (++commits > 1)
            throw std::runtime_error("writing 'x.pst' at offset 0x4400: No space left on device");
    }
    void close() override {}
    int commits = 0;
};

TEST(PstStore, AFailedCommitIsReportedWithItsCauseAndTheStoreRefusesMore) {
    auto store = PstStore::createOn(std::make_unique<FailingSink>(), "Store", kStoreKey);
    store->addFolder("Inbox");
    try {
        store->commit();
        FAIL() << "commit should fail";
    } catch (const PstError& e) {
        EXPECT_EQ(e.kind(), PstError::Kind::Write);
        EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos);
    }
    EXPECT_THROW(store->addFolder("Sent"), PstError);
}

}  // namespace
}  // namespace quill::store::pst::messaging
