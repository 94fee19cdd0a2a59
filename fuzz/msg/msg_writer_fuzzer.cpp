// libFuzzer entry point of the .msg writer: builds a message from the input (any bytes as
// strings, odd sizes around the mini-stream cutoff, named properties, nested attachments),
// writes it, and reads the file back with libgsf's own compound-file reader: every stream
// must be there with the written content.

#include <fuzzer/FuzzedDataProvider.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-utils.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
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

struct Unref {
    void operator()(gpointer p) const {
        if (p) g_object_unref(p);
    }
};

Bytes ReadStream(GsfInfile* dir, const std::string& path) {
    std::unique_ptr<GsfInput, Unref> in(gsf_infile_child_by_name(dir, path.c_str()));
    if (!in) __builtin_trap();  // a stream we wrote is missing
    Bytes out(static_cast<size_t>(gsf_input_size(in.get())));
    if (!out.empty() && !gsf_input_read(in.get(), out.size(), out.data())) __builtin_trap();
    return out;
}

void CheckMessage(GsfInfile* dir, const Message& m, msg::ObjectKind kind) {
    Bytes props = ReadStream(dir, msg::kPropertyStreamName);
    size_t header = msg::PropertyStreamHeaderSize(kind);
    if (props.size() < header || (props.size() - header) % 16 != 0) __builtin_trap();
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        const Attachment& a = m.attachments[i];
        std::unique_ptr<GsfInput, Unref> storage(
            gsf_infile_child_by_name(dir, msg::AttachmentStorageName(uint32_t(i)).c_str()));
        if (!storage) __builtin_trap();
        GsfInfile* att = GSF_INFILE(storage.get());
        if (a.embedded) {
            std::unique_ptr<GsfInput, Unref> inner(
                gsf_infile_child_by_name(att, msg::SubstgName(PidTagAttachDataObject).c_str()));
            if (!inner) __builtin_trap();
            CheckMessage(GSF_INFILE(inner.get()), *a.embedded, msg::ObjectKind::EmbeddedMessage);
        } else if (!a.data.empty() &&
                   ReadStream(att, msg::SubstgName(PidTagAttachDataBinary)) != a.data) {
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
    std::unique_ptr<GsfInput, Unref> input(gsf_input_stdio_new(file.c_str(), nullptr));
    if (!input) __builtin_trap();
    std::unique_ptr<GsfInfile, Unref> root(gsf_infile_msole_new(input.get(), nullptr));
    if (!root) __builtin_trap();  // libgsf cannot read back what it wrote for us
    CheckMessage(root.get(), *message, msg::ObjectKind::TopMessage);
    return 0;
}
