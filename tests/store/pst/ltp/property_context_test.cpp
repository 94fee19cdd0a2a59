#include <gtest/gtest.h>

#include "heap_reader.h"
#include "store/pst/ltp/heap.h"
#include "store/pst/ltp/ltp_error.h"
#include "store/pst/ltp/property_context.h"
#include "store/pst/pst_base.h"
#include "store/utf16.h"

namespace quill::store::pst::ltp {
namespace {

using testing::Hex;
using testing::ReadProperties;

// Large values of the message model are not copied: they become subnodes that hand out the
// value (a string as UTF-16LE, converted piece by piece) when the node database writes them.
// Small ones are encoded at once, as MakeProperty does.
TEST(PropertyContext, BorrowedValuesAreWrittenFromTheirOwner) {
    std::string text;
    for (int i = 0; text.size() < 300000; ++i)
        text += "Zeile " + std::to_string(i) + " – ✓ \xF0\x9F\x98\x80 \xFF\n";
    Bytes attachment(100000);
    for (size_t i = 0; i < attachment.size(); ++i) attachment[i] = uint8_t(i * 7 + i / 251);
    const std::string shortText(1790, 'a');  // at most 3580 bytes as UTF-16: into the heap
    std::string euros;                       // 3570 bytes of UTF-8, 2380 of UTF-16: the heap
    const Bytes fits(3580, 7);
    for (int i = 0; i < 1190; ++i) euros += "€";
    LocalNids nids;
    std::vector<Property> props{BorrowedStringProperty(0x1000001F, text),
                                BorrowedBinaryProperty(0x37010102, attachment),
                                BorrowedStringProperty(0x0037001F, shortText),
                                BorrowedStringProperty(0x0E1D001F, euros),
                                BorrowedBinaryProperty(0x300B0102, fits),
                                MakeProperty(0x0E070003, int32_t(1))};
    for (size_t i = 2; i < props.size(); ++i) EXPECT_FALSE(props[i].source) << i;
    NodeContent pc = BuildPropertyContext(props, nids);
    EXPECT_EQ(pc.subnodes.size(), 2u);  // the other values are in the heap
    auto values = ReadProperties(pc);
    EXPECT_EQ(values[0x1000001F], Utf16le(text));
    EXPECT_EQ(values[0x37010102], attachment);
    EXPECT_EQ(values[0x0037001F], Utf16le(shortText));
    EXPECT_EQ(values[0x0E1D001F], Utf16le(euros));
}

// Duplicate ids, values of the wrong size for their type, and a value a PST cannot hold (its
// subnode's length is 32 bits) are refused when the message is built, so that the store can go
// on without it.
TEST(PropertyContext, RefusesWhatAPstCannotHold) {
    class Huge : public StreamSource {
        uint64_t size() const override { return uint64_t(5) << 30; }
        void produce(const Sink&) const override { ADD_FAILURE() << "read"; }
    };
    LocalNids nids;
    EXPECT_THROW(
        BuildPropertyContext({Int32Property(0x36020003, 1), Property{0x3602001F, {}}}, nids),
        LtpError);
    EXPECT_THROW(BuildPropertyContext({Property{0x36020003, Hex("01 00")}}, nids), LtpError);
    EXPECT_THROW(BuildPropertyContext({Property{0x37010102, {}, std::make_shared<Huge>()}}, nids),
                 LtpError);
}

}  // namespace
}  // namespace quill::store::pst::ltp
