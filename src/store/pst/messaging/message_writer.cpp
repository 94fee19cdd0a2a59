#include "store/pst/messaging/message_writer.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "store/pst/ltp/ltp.h"
#include "store/pst/messaging/pst_store.h"
#include "store/pst/messaging/templates.h"
#include "store/pst/pst_base.h"

namespace quill::store::pst::messaging {

using namespace ltp;

namespace {

// ProviderUID of one-off entry ids ([MS-OXCDATA] 2.2.5.1).
constexpr uint8_t kOneOffProvider[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                         0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
constexpr uint16_t MAPI_ONE_OFF_UNICODE = 0x8000;
constexpr uint16_t MAPI_ONE_OFF_NO_RICH_INFO = 0x0001;
constexpr int32_t MAPI_MAILUSER = 6;
constexpr int32_t DT_MAILUSER = 0;
constexpr int32_t kRecipSendable = 1;

uint64_t NowFileTime() {
    using namespace std::chrono;
    // 100 ns ticks between 1601-01-01 and 1970-01-01.
    constexpr uint64_t kEpochDelta = 116444736000000000ULL;
    auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return kEpochDelta + static_cast<uint64_t>(since1970 / 100);
}

Bytes RandomKey() {
    static std::mt19937_64 engine{std::random_device{}()};
    Bytes key(16);
    for (size_t i = 0; i < 16; i += 8) StoreU64(&key[i], engine());
    return key;
}

uint64_t ValueBytes(const std::vector<Property>& props) {
    uint64_t total = 0;
    for (const Property& p : props) total += p.size();
    return total;
}

void SetProp(std::vector<Property>& props, Property p) {
    for (Property& q : props)
        if (PropIdOf(q.tag) == PropIdOf(p.tag)) {
            q = std::move(p);
            return;
        }
    props.push_back(std::move(p));
}

bool HasProp(const std::vector<Property>& props, PropTag tag) {
    for (const Property& p : props)
        if (p.tag == tag) return true;
    return false;
}

// Tagged and named properties of a bag, named ones mapped to their ids. Large values (bodies)
// stay in the bag and are written from there.
std::vector<Property> BagProperties(const PropertyBag& bag, NameIdMap& names,
                                    const Breather& breather) {
    std::vector<Property> props;
    for (const auto& [tag, value] : bag.tagged())
        props.push_back(BorrowedProperty(tag, value, breather));
    for (const NamedValue& nv : bag.named())
        props.push_back(
            BorrowedProperty(MakeTag(names.idOf(nv.name), nv.type), nv.value, breather));
    return props;
}

std::vector<Property> RowCells(const std::vector<Property>& props, const TableLayout& layout) {
    std::vector<Property> cells;
    for (const Property& p : props)
        if (layout.has(p.tag) && p.tag != PidTagLtpRowId && p.tag != PidTagLtpRowVer)
            cells.push_back(p);
    return cells;
}

// The layouts of a message's tables and of the contents table, made once.
const TableLayout& RecipientLayout() {
    static const TableLayout layout = TableLayout::FromTags(MessageRecipientTableColumns());
    return layout;
}
const TableLayout& AttachmentLayout() {
    static const TableLayout layout = TableLayout::FromTags(MessageAttachmentTableColumns());
    return layout;
}
const TableLayout& ContentsLayout() {
    static const TableLayout layout = TableLayout::FromTags(ContentsTableColumns());
    return layout;
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

Bytes OneOffEntryId(const std::string& name, const std::string& type, const std::string& address) {
    Bytes id;
    AppendU32(id, 0);  // rgbFlags
    id.insert(id.end(), std::begin(kOneOffProvider), std::end(kOneOffProvider));
    AppendU16(id, 0);  // version
    AppendU16(id, MAPI_ONE_OFF_UNICODE | MAPI_ONE_OFF_NO_RICH_INFO);
    for (const std::string* s : {&name, &type, &address}) {
        Bytes text = Utf16le(*s);
        id.insert(id.end(), text.begin(), text.end());
        AppendU16(id, 0);
    }
    return id;
}

// The recipient table is where a recipient's properties live: besides the usual columns it
// gets one for every other property a recipient of this message has, so none is dropped.
NodeContent BuildRecipientTable(const Message& message, NameIdMap& names, const Breather& breather,
                                size_t& size) {
    std::vector<std::vector<Property>> rows;
    std::vector<PropTag> extra;
    const TableLayout& usual = RecipientLayout();
    for (const Recipient& r : message.recipients) {
        std::vector<Property> props = BagProperties(r.props, names, breather);
        props.reserve(props.size() + 16);
        std::string address = r.props.string(PidTagEmailAddress).value_or("");
        std::string name = r.props.string(PidTagDisplayName).value_or(address);
        std::string type = r.props.string(PidTagAddressType).value_or("SMTP");
        // What the recipient does not have yet, made only then.
        auto setDefault = [&](PropTag tag, auto make) {
            if (!HasProp(props, tag)) props.push_back(make());
        };
        setDefault(PidTagRecipientType, [] { return Int32Property(PidTagRecipientType, MAPI_TO); });
        setDefault(PidTagDisplayName, [&] { return StringProperty(PidTagDisplayName, name); });
        setDefault(PidTagAddressType, [&] { return StringProperty(PidTagAddressType, type); });
        setDefault(PidTagEmailAddress, [&] { return StringProperty(PidTagEmailAddress, address); });
        if (type == "SMTP")
            setDefault(PidTagSmtpAddress,
                       [&] { return StringProperty(PidTagSmtpAddress, address); });
        setDefault(PidTagTransmittableDisplayName7Bit,
                   [&] { return StringProperty(PidTagTransmittableDisplayName7Bit, name); });
        setDefault(PidTagRecipientDisplayName,
                   [&] { return StringProperty(PidTagRecipientDisplayName, name); });
        setDefault(PidTagObjectType, [] { return Int32Property(PidTagObjectType, MAPI_MAILUSER); });
        setDefault(PidTagDisplayType, [] { return Int32Property(PidTagDisplayType, DT_MAILUSER); });
        setDefault(PidTagResponsibility, [] { return BoolProperty(PidTagResponsibility, false); });
        setDefault(PidTagSendRichInfo, [] { return BoolProperty(PidTagSendRichInfo, false); });
        setDefault(PidTagRecipientFlags,
                   [] { return Int32Property(PidTagRecipientFlags, kRecipSendable); });
        setDefault(PidTagRecipientTrackStatus,
                   [] { return Int32Property(PidTagRecipientTrackStatus, 0); });
        setDefault(PidTagRecipientOrder, [&] {
            return Int32Property(PidTagRecipientOrder, static_cast<int32_t>(rows.size()));
        });
        setDefault(PidTagSearchKey, [&] {
            std::string key = Upper(type) + ":" + Upper(address);
            Bytes searchKey(key.begin(), key.end());
            searchKey.push_back(0);
            return BinaryProperty(PidTagSearchKey, searchKey);
        });
        setDefault(PidTagEntryId, [&] {
            return BinaryProperty(PidTagEntryId, OneOffEntryId(name, type, address));
        });
        size += ValueBytes(props);
        for (const Property& p : props) {
            bool sameId = false;
            for (const TCOLDESC& c : usual.columns()) sameId |= PropIdOf(c.tag) == PropIdOf(p.tag);
            if (!sameId && std::find(extra.begin(), extra.end(), p.tag) == extra.end())
                extra.push_back(p.tag);
        }
        rows.push_back(std::move(props));
    }
    if (extra.size() > 200) throw LtpError("recipients with more than 200 unusual properties");

    // Most messages' recipients have only the usual columns, whose layout is made once.
    auto withExtra = [&] {
        std::vector<PropTag> columns(MessageRecipientTableColumns().begin(),
                                     MessageRecipientTableColumns().end());
        columns.insert(columns.end(), extra.begin(), extra.end());
        return TableLayout::FromTags(columns);
    };
    TableContext table(extra.empty() ? usual : withExtra());
    for (size_t i = 0; i < rows.size(); ++i)
        table.setRow(static_cast<uint32_t>(i + 1), RowCells(rows[i], table.layout()));
    return table.build();
}

struct BuiltObject {
    NodeContent node;
    std::vector<Property> rowCells;  // the object's values for its row in the parent's table
    size_t size = 0;
};

BuiltObject BuildMessageObject(const Message& message, NameIdMap& names, const Breather& breather,
                               int depth);

BuiltObject BuildAttachment(const Attachment& a, NameIdMap& names, const Breather& breather,
                            int depth) {
    LocalNids nids;
    std::vector<Property> props = BagProperties(a.props, names, breather);
    std::vector<SubnodeContent> subnodes;
    size_t size = ValueBytes(props);
    if (a.embedded) {
        BuiltObject inner = BuildMessageObject(*a.embedded, names, breather, depth + 1);
        Nid nid = nids.next(NID_TYPE_NORMAL_MESSAGE);
        Bytes object;
        AppendU32(object, nid);
        AppendU32(object, static_cast<uint32_t>(inner.size));
        SetProp(props, Property{PidTagAttachDataObject, object});
        subnodes.push_back(SubnodeContent{nid, std::move(inner.node)});
        size += inner.size;
        if (!a.props.has(PidTagAttachMethod))
            SetProp(props, Int32Property(PidTagAttachMethod, ATTACH_EMBEDDED_MSG));
    } else {
        // Written from the model's buffer as it is: a large attachment is never copied.
        SetProp(props, BorrowedBinaryProperty(PidTagAttachDataBinary, a.data));
        size += a.data.size();
        if (!a.props.has(PidTagAttachMethod))
            SetProp(props, Int32Property(PidTagAttachMethod, ATTACH_BY_VALUE));
    }
    if (!a.props.has(PidTagRenderingPosition))
        SetProp(props, Int32Property(PidTagRenderingPosition, -1));
    if (!a.props.has(PidTagAttachSize))
        SetProp(props, Int32Property(PidTagAttachSize,
                                     static_cast<int32_t>(std::min<size_t>(size, INT32_MAX))));
    BuiltObject out;
    out.rowCells = RowCells(props, AttachmentLayout());
    out.node = BuildPropertyContext(std::move(props), nids, std::move(subnodes));
    out.size = size;
    return out;
}

BuiltObject BuildMessageObject(const Message& message, NameIdMap& names, const Breather& breather,
                               int depth) {
    if (depth > 32) throw LtpError("embedded messages nested deeper than 32 levels");
    std::vector<Property> props = BagProperties(message.props, names, breather);

    // Calculated in a PST ([MS-PST] 2.5.2.3): never stored.
    std::erase_if(props, [](const Property& p) {
        return p.tag == PidTagNormalizedSubject || p.tag == PidTagSubjectPrefix ||
               p.tag == PidTagHasAttachments;
    });
    if (auto subject = message.props.string(PidTagSubject))
        SetProp(props,
                Property{PidTagSubject,
                         EncodeSubject(*subject,
                                       message.props.string(PidTagSubjectPrefix).value_or(""))});
    int32_t flags = message.props.int32(PidTagMessageFlags).value_or(0);
    if (message.attachments.empty())
        flags &= ~MSGFLAG_HASATTACH;
    else
        flags |= MSGFLAG_HASATTACH;
    SetProp(props, Int32Property(PidTagMessageFlags, flags));
    auto setDefault = [&](Property p) {
        if (!HasProp(props, p.tag)) props.push_back(std::move(p));
    };
    setDefault(StringProperty(PidTagMessageClass, "IPM.Note"));
    setDefault(Int32Property(PidTagMessageStatus, 0));
    uint64_t now = NowFileTime();
    setDefault(MakeProperty(PidTagCreationTime, FileTime{now}));
    setDefault(MakeProperty(PidTagLastModificationTime, FileTime{now}));
    setDefault(BinaryProperty(PidTagSearchKey, RandomKey()));

    LocalNids nids;
    std::vector<SubnodeContent> subnodes;
    size_t size = 0;
    subnodes.push_back(
        SubnodeContent{NID_RECIPIENT_TABLE, BuildRecipientTable(message, names, breather, size)});
    if (!message.attachments.empty()) {
        TableContext table(AttachmentLayout());
        for (const Attachment& a : message.attachments) {
            BuiltObject built = BuildAttachment(a, names, breather, depth);
            Nid nid = nids.next(NID_TYPE_ATTACHMENT);
            table.setRow(nid, built.rowCells);
            subnodes.push_back(SubnodeContent{nid, std::move(built.node)});
            size += built.size;
        }
        subnodes.push_back(SubnodeContent{NID_ATTACHMENT_TABLE, table.build()});
    }
    if (!message.props.has(PidTagMessageSize)) {
        size += ValueBytes(props) + 4;
        SetProp(props, Int32Property(PidTagMessageSize,
                                     static_cast<int32_t>(std::min<size_t>(size, INT32_MAX))));
    } else {
        size += ValueBytes(props);
    }

    BuiltObject out;
    out.rowCells = RowCells(props, ContentsLayout());
    out.node = BuildPropertyContext(std::move(props), nids, std::move(subnodes));
    out.size = size;
    return out;
}

}  // namespace

Bytes EncodeSubject(const std::string& subject, const std::string& prefix) {
    size_t prefixUnits = 0;
    if (!prefix.empty() && subject.compare(0, prefix.size(), prefix) == 0)
        prefixUnits = Utf16le(prefix).size() / 2;
    if (prefixUnits > 0xFFFE) prefixUnits = 0;
    Bytes out;
    AppendU16(out, 0x0001);
    AppendU16(out, static_cast<uint16_t>(prefixUnits + 1));
    Bytes text = Utf16le(subject);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

BuiltMessage BuildMessage(const Message& message, NameIdMap& names, const Breather& breather) {
    BuiltObject built = BuildMessageObject(message, names, breather, 0);
    BuiltMessage out;
    out.contentsRow = std::move(built.rowCells);
    for (const Property& p : out.contentsRow)
        if (p.tag == PidTagMessageFlags) out.read = (LoadU32(p.value.data()) & MSGFLAG_READ) != 0;
    out.node = std::move(built.node);
    return out;
}

}  // namespace quill::store::pst::messaging
