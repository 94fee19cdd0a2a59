// Known vectors for the parts of the .msg layout that readers cannot show us directly.

#include "store/msg/msg_layout.h"

#include <gtest/gtest.h>

namespace quill::store::msg {
namespace {

Bytes Hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(MsgNameHash, MatchesTheVectorMicrosoftGaveForXMailer) {
    // Microsoft's protocol team: the CRC of "x-mailer" (UTF-16LE) is 0xFF504E89 and, with GUID
    // index 3, the name lands in stream 0x100F. zlib's CRC-32 gives 0x13EB05DC here.
    Bytes name = ToUtf16le("x-mailer");
    EXPECT_EQ(NameCrc32(name.data(), name.size()), 0xFF504E89u);
    EXPECT_EQ(0x1000 + ((0xFF504E89u ^ ((3u << 1) | 1)) % 0x1F), 0x100Fu);
}

TEST(MsgNameMap, EntryWordFollowsTheFormatDocumentExample) {
    // [MS-OXMSG] 3.2: bytes 10 00 00 00 07 00 05 00 are string offset 0x10, property index 5,
    // GUID index 3, kind 1. Build the same: five numeric names first, then two strings whose
    // second record starts at 0x10.
    const Guid set = {0x09, 0x92, 0x7D, 0x46, 0x35, 0x2E, 0x7D, 0x1A,
                      0x41, 0x11, 0x92, 0x72, 0x01, 0xF2, 0x30, 0x12};
    Message m;
    for (uint32_t lid = 0; lid < 4; ++lid)
        m.props.setNamed({set, false, 0x8100 + lid, ""}, PT_LONG, int32_t(1));
    m.props.setNamed({set, true, 0, "ABCDEF"}, PT_LONG, int32_t(1));  // record of 16 bytes
    m.props.setNamed({set, true, 0, "SIZE"}, PT_LONG, int32_t(1));
    NamedPropertyMap map;
    ASSERT_TRUE(map.collect(m));
    Bytes entries = map.entryStream();
    ASSERT_EQ(entries.size(), 6u * 8);
    EXPECT_EQ(Bytes(entries.begin() + 40, entries.end()), Hex("1000000007000500"));
    // Numeric names keep their LID; PS_MAPI and PS_PUBLIC_STRINGS are never stored.
    EXPECT_EQ(Bytes(entries.begin(), entries.begin() + 8), Hex("0081000006000000"));
    EXPECT_EQ(map.guidStream().size(), 16u);
}

TEST(MsgNameMap, WellKnownSetsUseTheirFixedIndexes) {
    Message m;
    m.props.setNamed({PS_PUBLIC_STRINGS, true, 0, "Keywords"}, PT_MV_UNICODE, MultiString{"a"});
    m.props.setNamed({PS_MAPI, false, 0x0037, ""}, PT_UNICODE, std::string("x"));
    NamedPropertyMap map;
    ASSERT_TRUE(map.collect(m));
    EXPECT_TRUE(map.guidStream().empty());
    // Kind 1 with GUID index 2; kind 0 with GUID index 1, property index 1.
    EXPECT_EQ(map.entryStream(), Hex("0000000005000000"
                                     "3700000002000100"));
}

}  // namespace
}  // namespace quill::store::msg
