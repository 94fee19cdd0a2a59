// libFuzzer entry point of the .msg writer: builds a message from the input (any bytes as
// strings, odd sizes around the mini-stream cutoff, named properties, nested attachments),
// writes it, and reads the file back with a compound-file reader of its own, written from the
// format document apart from the writer: every chain must stay in the file and match its
// stream's size, every name must be found by a search of its sibling tree, and every stream
// must be there with the written content.

#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "store/msg/msg_layout.h"
#include "store/msg/msg_writer.h"

using namespace quill::store;

namespace {

constexpr PropTag kTags[] = {PidTagSubject,
                             PidTagBody,
                             PidTagHtml,
                             PidTagDisplayTo,
                             PidTagMessageFlags,
                             PidTagClientSubmitTime,
                             PidTagImportance,
                             PidTagHasAttachments,
                             PidTagSenderName,
                             PidTagTransportMessageHeaders,
                             PidTagConversationIndex};

size_t OddSize(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return in.ConsumeIntegralInRange<size_t>(4090, 4100);  // mini-stream cutoff
        case 1:
            return in.ConsumeIntegralInRange<size_t>(0, 64);
        default:
            return in.ConsumeIntegralInRange<size_t>(0, 9000);
    }
}

PropValue ValueFor(uint16_t type, FuzzedDataProvider& in) {
    switch (type) {
        case PT_LONG:
            return in.ConsumeIntegral<int32_t>();
        case PT_I8:
            return in.ConsumeIntegral<int64_t>();
        case PT_BOOLEAN:
            return in.ConsumeBool();
        case PT_SYSTIME:
            return FileTime{in.ConsumeIntegral<uint64_t>()};
        case PT_BINARY: {
            std::string s = in.ConsumeBytesAsString(OddSize(in));
            return Bytes(s.begin(), s.end());
        }
        case PT_MV_UNICODE: {
            MultiString list(in.ConsumeIntegralInRange<size_t>(0, 4));
            for (auto& s : list) s = in.ConsumeRandomLengthString(64);
            return list;
        }
        default:
            return in.ConsumeRandomLengthString(300);
    }
}

void FillBag(PropertyBag& bag, FuzzedDataProvider& in) {
    int count = in.ConsumeIntegralInRange<int>(0, 8);
    for (int i = 0; i < count; ++i) {
        PropTag tag = in.PickValueInArray(kTags);
        bag.set(tag, ValueFor(PropTypeOf(tag), in));
    }
    int named = in.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < named; ++i) {
        NamedProperty name;
        name.propertySet[0] = in.ConsumeIntegralInRange<uint8_t>(0, 3);  // few sets, reuse
        name.isString = in.ConsumeBool();
        name.lid = in.ConsumeIntegral<uint32_t>();
        if (name.isString) name.name = in.ConsumeRandomLengthString(40);
        static constexpr uint16_t kTypes[] = {PT_LONG,    PT_I8,     PT_BOOLEAN,   PT_SYSTIME,
                                              PT_UNICODE, PT_BINARY, PT_MV_UNICODE};
        uint16_t type = in.PickValueInArray(kTypes);
        bag.setNamed(name, type, ValueFor(type, in));
    }
}

std::unique_ptr<Message> MakeMessage(FuzzedDataProvider& in, int depth) {
    auto m = std::make_unique<Message>();
    FillBag(m->props, in);
    int recipients = in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < recipients; ++i) {
        Recipient r;
        FillBag(r.props, in);
        m->recipients.push_back(std::move(r));
    }
    int attachments = in.ConsumeIntegralInRange<int>(0, 3);
    for (int i = 0; i < attachments; ++i) {
        Attachment a;
        FillBag(a.props, in);
        if (depth < 2 && in.ConsumeBool()) {
            a.embedded = MakeMessage(in, depth + 1);
        } else {
            std::string data = in.ConsumeBytesAsString(OddSize(in));
            a.data.assign(data.begin(), data.end());
        }
        m->attachments.push_back(std::move(a));
    }
    return m;
}

// [MS-CFB] version 3, read the plain way: the FAT from the header's and the DIFAT sectors'
// lists, the directory, mini FAT and mini stream as FAT chains.
class CompoundReader {
  public:
    explicit CompoundReader(Bytes file) : file_(std::move(file)) {
        if (file_.size() < 512 || file_.size() % 512 != 0 || u32(0) != 0xE011CFD0 ||
            u32(4) != 0xE11AB1A1 || u16(0x1A) != 3 || u16(0x1E) != 9)
            __builtin_trap();
        sectors_ = file_.size() / 512 - 1;
        std::vector<uint32_t> fatSectors;
        for (uint32_t i = 0; i < 109 && fatSectors.size() < u32(0x2C); ++i)
            fatSectors.push_back(u32(0x4C + 4 * i));
        for (uint32_t s = u32(0x44), n = 0; n < u32(0x48); ++n) {
            for (uint32_t i = 0; i < 127 && fatSectors.size() < u32(0x2C); ++i)
                fatSectors.push_back(u32(at(s) + 4 * i));
            s = u32(at(s) + 508);
        }
        for (uint32_t s : fatSectors)
            for (uint32_t i = 0; i < 128; ++i) fat_.push_back(u32(at(s) + 4 * i));
        directory_ = chain(u32(0x30), fat_, 512, UINT64_MAX, file_);
        if (u32(0x40) > 0) {
            Bytes table = chain(u32(0x3C), fat_, 512, UINT64_MAX, file_);
            for (size_t i = 0; i + 4 <= table.size(); i += 4) miniFat_.push_back(le32(table, i));
        }
        mini_ = chain(entry(0, 0x74), fat_, 512, entry(0, 0x78), file_);
    }

    // Entry id of `name` among the children of storage `parent`, by a search of the tree.
    uint32_t child(uint32_t parent, const std::string& name) const {
        uint32_t node = entry(parent, 0x4C);
        for (size_t steps = 0; node != 0xFFFFFFFF; ++steps) {
            if (steps > directory_.size() / 128) __builtin_trap();  // a loop
            int order = compare(name, node);
            if (order == 0) return node;
            node = entry(node, order < 0 ? 0x44 : 0x48);
        }
        __builtin_trap();  // an entry we wrote is missing, or the tree is out of order
    }

    Bytes stream(uint32_t id) const {
        if (directory_.at(size_t(id) * 128 + 0x42) != 2) __builtin_trap();
        uint64_t size = entry(id, 0x78);
        if (size == 0) return {};
        if (size < 4096) return chain(entry(id, 0x74), miniFat_, 64, size, mini_);
        return chain(entry(id, 0x74), fat_, 512, size, file_);
    }

  private:
    static uint32_t le32(const Bytes& b, size_t i) {
        if (i + 4 > b.size()) __builtin_trap();
        return b[i] | b[i + 1] << 8 | b[i + 2] << 16 | uint32_t(b[i + 3]) << 24;
    }
    uint32_t u32(size_t i) const { return le32(file_, i); }
    uint16_t u16(size_t i) const { return uint16_t(file_.at(i) | file_.at(i + 1) << 8); }
    size_t at(uint32_t sector) const {
        if (sector >= sectors_) __builtin_trap();
        return (size_t(sector) + 1) * 512;
    }
    uint32_t entry(uint32_t id, size_t field) const {
        return le32(directory_, size_t(id) * 128 + field);
    }
    // Follows a chain of `unit`-sized sectors of `from`; the chain must cover `size` exactly
    // (UINT64_MAX: as long as it goes).
    static Bytes chain(uint32_t s, const std::vector<uint32_t>& table, size_t unit, uint64_t size,
                       const Bytes& from) {
        Bytes out;
        size_t offset = unit == 512 ? 512 : 0;  // the header comes before sector 0
        while (s != 0xFFFFFFFE) {
            if (s >= table.size() || out.size() >= from.size() ||
                offset + (size_t(s) + 1) * unit > from.size())
                __builtin_trap();
            out.insert(out.end(), from.begin() + offset + size_t(s) * unit,
                       from.begin() + offset + (size_t(s) + 1) * unit);
            s = table[s];
        }
        if (size != UINT64_MAX) {
            if (out.size() < size || out.size() - size >= unit) __builtin_trap();
            out.resize(size);
        }
        return out;
    }
    // [MS-CFB] 2.6.4: the shorter name first, then by upper-cased units (our names are ASCII).
    int compare(const std::string& name, uint32_t id) const {
        const uint8_t* e = &directory_.at(size_t(id) * 128);
        size_t units = size_t(e[0x40] | e[0x41] << 8) / 2;
        if (units == 0 || units > 32) __builtin_trap();
        if (name.size() + 1 != units) return name.size() + 1 < units ? -1 : 1;
        for (size_t i = 0; i < name.size(); ++i) {
            int a = std::toupper(static_cast<unsigned char>(name[i]));
            int b = std::toupper(e[2 * i]);
            if (a != b) return a < b ? -1 : 1;
        }
        return 0;
    }

    Bytes file_;
    size_t sectors_ = 0;
    std::vector<uint32_t> fat_, miniFat_;
    Bytes directory_, mini_;
};

Bytes ReadStream(const CompoundReader& file, uint32_t storage, const std::string& name) {
    return file.stream(file.child(storage, name));
}

void CheckMessage(const CompoundReader& file, uint32_t dir, const Message& m,
                  msg::ObjectKind kind) {
    Bytes props = ReadStream(file, dir, msg::kPropertyStreamName);
    size_t header = msg::PropertyStreamHeaderSize(kind);
    if (props.size() < header || (props.size() - header) % 16 != 0) __builtin_trap();
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        const Attachment& a = m.attachments[i];
        uint32_t att = file.child(dir, msg::AttachmentStorageName(uint32_t(i)));
        if (a.embedded) {
            uint32_t inner = file.child(att, msg::SubstgName(PidTagAttachDataObject));
            CheckMessage(file, inner, *a.embedded, msg::ObjectKind::EmbeddedMessage);
        } else if (!a.data.empty() &&
                   ReadStream(file, att, msg::SubstgName(PidTagAttachDataBinary)) != a.data) {
            __builtin_trap();  // attachment bytes changed on the way
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::filesystem::path folder = [] {
        char pattern[] = "/tmp/quill-msg-fuzz-XXXXXX";
        return std::filesystem::path(mkdtemp(pattern));
    }();
    FuzzedDataProvider in(data, size);
    std::unique_ptr<Message> message = MakeMessage(in, 0);
    std::filesystem::path file = folder / "Email-0.msg";
    msg::MsgWriteResult result = msg::WriteMsgFile(*message, file);
    if (!result.ok()) {
        std::fprintf(stderr, "%s\n", result.error.c_str());
        __builtin_trap();  // nothing in these messages is beyond what a .msg holds
    }
    std::ifstream stream(file, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    CompoundReader reader(std::move(bytes));
    CheckMessage(reader, 0, *message, msg::ObjectKind::TopMessage);
    return 0;
}
