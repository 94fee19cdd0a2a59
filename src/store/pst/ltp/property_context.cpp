#include "store/pst/ltp/property_context.h"

#include <algorithm>
#include <cstdio>

#include "store/pst/ltp/bth.h"
#include "store/pst/ltp/heap.h"
#include "store/pst/ltp/ltp_error.h"
#include "store/pst/pst_base.h"

namespace quill::store::pst::ltp {

NodeContent BuildPropertyContext(std::vector<Property> properties, LocalNids& nids,
                                 std::vector<SubnodeContent> extraSubnodes) {
    std::stable_sort(
        properties.begin(), properties.end(),
        [](const Property& a, const Property& b) { return PropIdOf(a.tag) < PropIdOf(b.tag); });
    for (size_t i = 1; i < properties.size(); ++i)
        if (PropIdOf(properties[i - 1].tag) == PropIdOf(properties[i].tag))
            throw LtpError("property id of " + TagText(properties[i].tag) + " given twice");

    NodeContent node;
    HeapBuilder heap(bTypePC);
    // Outlook's order: the BTHHEADER at HID 0x20, then the values, then the records.
    Hid header = AllocateBthHeader(heap);
    Bytes records;
    records.reserve(properties.size() * sizeof(PCBTHRecord));
    for (Property& p : properties) {
        const uint16_t type = PropTypeOf(p.tag);
        const size_t fixed = FixedSizeOfType(type);
        const uint64_t size = p.size();
        if (fixed != 0 && (size != fixed || p.source))
            throw LtpError("value of " + TagText(p.tag) + " has " + std::to_string(size) +
                           " bytes, its type needs " + std::to_string(fixed));
        if (size > kMaxValueSize)
            throw LtpError("value of " + TagText(p.tag) + " has " + std::to_string(size) +
                           " bytes, more than the 4 GiB a PST holds in one value");
        uint32_t hnid = 0;
        if (fixed != 0 && fixed <= 4) {
            for (size_t i = 0; i < fixed; ++i) hnid |= uint32_t(p.value[i]) << (8 * i);
        } else if (size == 0) {
            hnid = 0;
        } else if (size <= kMaxHeapAllocation) {
            hnid = heap.allocate(p.source ? ReadAll(*p.source) : p.value);
        } else {
            Nid nid = nids.next(NID_TYPE_LTP);
            node.subnodes.push_back(
                SubnodeContent{nid, NodeContent{std::move(p.value), {}, std::move(p.source)}});
            hnid = nid;
        }
        AppendU16(records, PropIdOf(p.tag));
        AppendU16(records, type);
        AppendU32(records, hnid);
    }
    WriteBth(heap, header, 2, 6, records);
    heap.setUserRoot(header);
    node.data = heap.finish();
    for (SubnodeContent& s : extraSubnodes) node.subnodes.push_back(std::move(s));
    std::sort(node.subnodes.begin(), node.subnodes.end(),
              [](const SubnodeContent& a, const SubnodeContent& b) { return a.nid < b.nid; });
    return node;
}

}  // namespace quill::store::pst::ltp
