#include <gtest/gtest.h>

#include "ltp/heap_reader.h"
#include "pst_test_support.h"
#include "store/pst/ltp/ltp.h"
#include "store/pst/messaging/messaging.h"

namespace quill::store::pst::messaging {
namespace {

using ltp::testing::Hex;
using ltp::testing::ReadProperties;
using testing::Recorded;

// Readers find the folders from the store object and the root folder; what they do not
// read is checked here: the special folders' entry IDs, and the root folder's object and the
// 0xC01 heap as Outlook writes them.
TEST(PstStore, NewStoreMatchesWhatOutlookWrites) {
    Recorded r;
    auto store = r.create();
    EXPECT_EQ(r.commits, 1) << "a new store is committed at once";
    EXPECT_EQ(r.nodes[0x122].content.data, Hex("34 00 EC BC 20 00 00 00 00 00 00 00"
                                               "B5 02 06 00 40 00 00 00"
                                               "01 30 1F 00 00 00 00 00  02 36 03 00 00 00 00 00"
                                               "03 36 03 00 00 00 00 00  0A 36 0B 00 01 00 00 00"
                                               "02 00 00 00 0C 00 14 00 34 00"));
    EXPECT_EQ(r.nodes[0xC01].content.data,
              Hex("18 00 EC 9C 20 00 00 00 00 00 00 00 40 00 00 00 B5 10 04 00 00 00 00 00 02 "
                  "00 00 00 0C 00 10 00 18 00"));
    auto props = ReadProperties(r.nodes[0x21].content);
    EXPECT_EQ(props[PidTagIpmSubTreeEntryId],
              Hex("00000000 229DB50ADCD9944385DE90AEB07D1270 22800000"));
    EXPECT_EQ(LoadU32(props[PidTagIpmWastebasketEntryId].data() + 20), 0x8062u);
    EXPECT_EQ(LoadU32(props[PidTagFinderEntryId].data() + 20), 0x8042u);
}

// Misuse gets typed errors. (A failed commit, reported with its cause: the PST run's test of
// a store under the file-size limit.)
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
}

}  // namespace
}  // namespace quill::store::pst::messaging
