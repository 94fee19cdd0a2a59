#include "store/msg/msg_writer.h"

#include <fcntl.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-memory.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <variant>

#include "store/msg/msg_layout.h"

namespace quill::store::msg {

namespace {

namespace fs = std::filesystem;

// Raised inside the writer; WriteMsgFile turns it into the result the caller sees.
struct Failure {
    std::string what;     // "writing the data of attachment 2 of the message"
    std::string reason;   // the system's reason, or why the message cannot be written
    int systemError = 0;  // errno, 0 when the message itself is the cause
    int64_t offset = -1;  // file offset reached when a write failed
    bool cancelled = false;
};

struct GObjectUnref {
    void operator()(gpointer p) const {
        if (p != nullptr) g_object_unref(p);
    }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

// Large values reach the compound file in pieces of this size, straight from the model's
// buffer: a stream of 4096 bytes or more goes through to the file as it is written.
constexpr size_t kWriteChunk = size_t(1) << 20;
// stdio buffer of the output file when the compound file streams to it; few large writes
// instead of many small ones.
constexpr size_t kFileBuffer = size_t(256) << 10;
// A message whose values take less than this is built in memory and reaches the file in one
// write: libgsf writes a compound file in pieces and goes back to patch its header, which on
// a file costs several system calls per file and a buffer per file. Larger messages stream to
// the file, so memory stays bounded whatever the message.
constexpr uint64_t kInMemoryLimit = uint64_t(8) << 20;

std::array<uint8_t, 8> Le64(uint64_t v) {
    std::array<uint8_t, 8> out{};
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
    return out;
}

std::string TagText(PropTag tag) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", tag);
    return buf;
}

// One property as it goes to disk: its 16-byte entry and, for everything kept in a stream,
// the stream content.
struct OutProp {
    PropTag tag = 0;
    std::array<uint8_t, 8> field{};  // inline value, or Size and 4 reserved bytes
    bool inStream = false;
    bool isObject = false;          // embedded message storage, written separately
    Bytes owned;                    // converted value, or the length stream
    const uint8_t* data = nullptr;  // stream content (owned or the model's own buffer)
    uint64_t size = 0;
    std::vector<Bytes> values;  // multi-valued strings, each with its terminator
};

void CheckValueSize(uint64_t size, PropTag tag, const std::string& where) {
    // The Size field is 32 bits, and no stream of a version 3 compound file may exceed 2 GB.
    if (size > kMaxCompoundFileSize - 2) {
        throw Failure{
            "writing property " + TagText(tag) + " of " + where,
            "the value is " + std::to_string(size) + " bytes and a .msg file holds at most 2 GB", 0,
            -1};
    }
}

void SetStreamSize(OutProp& p, uint64_t sizeField) {
    p.inStream = true;
    p.field = Le64(static_cast<uint32_t>(sizeField));
}

// The on-disk form of one value; nothing when the value is left out (empty strings, empty
// binaries and empty lists carry nothing and empty strings are not allowed).
std::optional<OutProp> MakeProp(PropTag tag, const PropValue& value, const std::string& where) {
    OutProp p;
    p.tag = tag;
    if (!ValueFitsType(PropTypeOf(tag), value)) {
        throw Failure{"writing property " + TagText(tag) + " of " + where,
                      "its value does not match the property type", 0, -1};
    }
    if (const auto* v = std::get_if<int32_t>(&value)) {
        p.field = Le64(static_cast<uint32_t>(*v));
    } else if (const auto* v = std::get_if<int64_t>(&value)) {
        p.field = Le64(static_cast<uint64_t>(*v));
    } else if (const auto* v = std::get_if<bool>(&value)) {
        p.field[0] = *v ? 1 : 0;
    } else if (const auto* v = std::get_if<FileTime>(&value)) {
        p.field = Le64(v->ticks);
    } else if (const auto* v = std::get_if<std::string>(&value)) {
        if (v->empty()) return std::nullopt;
        p.owned = ToUtf16le(*v);
        p.data = p.owned.data();
        p.size = p.owned.size();
        CheckValueSize(p.size, tag, where);
        SetStreamSize(p, p.size + 2);  // PtypString: stream length plus the terminator
    } else if (const auto* v = std::get_if<Bytes>(&value)) {
        if (v->empty()) return std::nullopt;
        CheckValueSize(v->size(), tag, where);
        p.data = v->data();
        p.size = v->size();
        SetStreamSize(p, p.size);
    } else if (const auto* v = std::get_if<MultiString>(&value)) {
        if (v->empty()) return std::nullopt;
        // Length stream: 4 bytes per value, each the value's length in bytes with its
        // terminator; the values in streams of their own, terminated ([MS-OXMSG] 2.1.4.2).
        for (const auto& s : *v) {
            Bytes wide = ToUtf16le(s);
            wide.push_back(0);
            wide.push_back(0);
            CheckValueSize(wide.size(), tag, where);
            uint32_t n = static_cast<uint32_t>(wide.size());
            for (int i = 0; i < 4; ++i) p.owned.push_back(static_cast<uint8_t>(n >> (8 * i)));
            p.values.push_back(std::move(wide));
        }
        p.data = p.owned.data();
        p.size = p.owned.size();
        SetStreamSize(p, p.size);
    }
    return p;
}

// Bytes of binary values and attachment data: a lower bound of the file size.
uint64_t BinaryVolume(const Message& m) {
    uint64_t total = 0;
    auto bag = [&](const PropertyBag& b) {
        for (const auto& [tag, v] : b.tagged())
            if (const auto* bytes = std::get_if<Bytes>(&v)) total += bytes->size();
    };
    bag(m.props);
    for (const auto& r : m.recipients) bag(r.props);
    for (const auto& a : m.attachments) {
        bag(a.props);
        total += a.data.size();
        if (a.embedded) total += BinaryVolume(*a.embedded);
    }
    return total;
}

// Bytes the values of a message take in their streams (text as UTF-16 takes at most twice its
// UTF-8 length): about the size of the file, without the per-stream rounding.
uint64_t StreamVolume(const Message& m) {
    uint64_t total = 0;
    auto bag = [&](const PropertyBag& b) {
        auto value = [&](const PropValue& v) {
            if (const auto* bytes = std::get_if<Bytes>(&v)) total += bytes->size();
            if (const auto* text = std::get_if<std::string>(&v)) total += 2 * text->size();
            if (const auto* list = std::get_if<MultiString>(&v))
                for (const auto& s : *list) total += 2 * s.size() + 6;
        };
        for (const auto& [tag, v] : b.tagged()) value(v);
        for (const auto& nv : b.named()) value(nv.value);
        total += 16 * (b.tagged().size() + b.named().size());
    };
    bag(m.props);
    for (const auto& r : m.recipients) bag(r.props);
    for (const auto& a : m.attachments) {
        bag(a.props);
        total += a.data.size();
        if (a.embedded) total += StreamVolume(*a.embedded);
    }
    return total;
}

class Writer {
  public:
    Writer(GsfOutput* sink, const NamedPropertyMap& names, YieldClock* clock)
        : sink_(sink), names_(names), clock_(clock) {}

    void writeMessage(GsfOutfile* storage, const Message& m, ObjectKind kind,
                      const std::string& where) {
        if (m.attachments.size() > kMaxAttachments) {
            throw Failure{"writing " + where,
                          "it has " + std::to_string(m.attachments.size()) +
                              " attachments and a .msg file holds at most 2048",
                          0, -1};
        }
        std::vector<OutProp> props = collect(m.props, where, {});
        if (kind == ObjectKind::TopMessage) {
            // Our strings are all PT_UNICODE, which the mask must declare.
            std::optional<int32_t> mask = m.props.int32(PidTagStoreSupportMask);
            int32_t value = mask ? (*mask | STORE_UNICODE_OK) : STORE_SUPPORT_MASK_UNICODE;
            upsert(props, PidTagStoreSupportMask, value, where);
        }
        if (!m.props.string(PidTagMessageClass).value_or("").size())
            upsert(props, PidTagMessageClass, std::string("IPM.Note"), where);

        writeProperties(storage, props, kind, static_cast<uint32_t>(m.recipients.size()),
                        static_cast<uint32_t>(m.attachments.size()), where);
        for (size_t i = 0; i < m.recipients.size(); ++i)
            writeRecipient(storage, m.recipients[i], static_cast<uint32_t>(i), where);
        for (size_t i = 0; i < m.attachments.size(); ++i)
            writeAttachment(storage, m.attachments[i], static_cast<uint32_t>(i), where);
        if (kind == ObjectKind::TopMessage) writeNameMap(storage);
    }

    // Raises the sink's error, if it has one: libgsf reports a failed write of a large
    // stream only there, and the close of the root succeeds regardless.
    // `what` puts the step into words only when it failed: a message has dozens of streams,
    // and describing each one up front costs more than writing a small one.
    template <typename Describe>
    void checkSink(const Describe& what) {
        const GError* err = gsf_output_error(sink_);
        if (err == nullptr) return;
        int code = err->code > 0 ? err->code : 0;
        std::string reason = code > 0 ? std::strerror(code) : std::string(err->message);
        throw Failure{what(), reason, code, static_cast<int64_t>(gsf_output_tell(sink_))};
    }

  private:
    // Properties of a bag in tag order, named ones under their mapped ids. `skip` lists the
    // tags the caller writes itself.
    std::vector<OutProp> collect(const PropertyBag& bag, const std::string& where,
                                 std::initializer_list<PropTag> skip) {
        std::vector<OutProp> props;
        for (const auto& [tag, value] : bag.tagged()) {
            if (std::find(skip.begin(), skip.end(), tag) != skip.end()) continue;
            if (PropIdOf(tag) >= kFirstNamedId) {
                // Without a name such an id means nothing, and it could clash with ours.
                throw Failure{"writing property " + TagText(tag) + " of " + where,
                              "ids from 0x8000 on belong to named properties, and this one "
                              "has no name",
                              0, -1};
            }
            if (auto p = MakeProp(tag, value, where)) props.push_back(std::move(*p));
        }
        for (const auto& nv : bag.named()) {
            PropTag tag = MakeTag(names_.idOf(nv.name), nv.type);
            if (auto p = MakeProp(tag, nv.value, where)) props.push_back(std::move(*p));
        }
        std::sort(props.begin(), props.end(),
                  [](const OutProp& a, const OutProp& b) { return a.tag < b.tag; });
        return props;
    }

    void upsert(std::vector<OutProp>& props, PropTag tag, PropValue value,
                const std::string& where) {
        std::optional<OutProp> p = MakeProp(tag, value, where);
        auto it = std::find_if(props.begin(), props.end(),
                               [&](const OutProp& q) { return q.tag == tag; });
        if (it != props.end()) {
            *it = std::move(*p);
        } else {
            props.push_back(std::move(*p));
            std::sort(props.begin(), props.end(),
                      [](const OutProp& a, const OutProp& b) { return a.tag < b.tag; });
        }
    }

    void writeProperties(GsfOutfile* storage, const std::vector<OutProp>& props, ObjectKind kind,
                         uint32_t recipients, uint32_t attachments, const std::string& where) {
        Bytes stream = PropertyStreamHeader(kind, recipients, attachments);
        stream.reserve(stream.size() + 16 * props.size());
        for (const auto& p : props) AppendPropertyEntry(stream, p.tag, p.field);
        writeStream(storage, kPropertyStreamName, stream.data(), stream.size(),
                    [&] { return "writing the property list of " + where; });
        for (const auto& p : props) {
            if (!p.inStream) continue;
            auto what = [&] { return "writing property " + TagText(p.tag) + " of " + where; };
            writeStream(storage, SubstgName(p.tag), p.data, p.size, what);
            for (size_t i = 0; i < p.values.size(); ++i) {
                writeStream(storage, SubstgValueName(p.tag, static_cast<uint32_t>(i)),
                            p.values[i].data(), p.values[i].size(), what);
            }
        }
    }

    void writeRecipient(GsfOutfile* parent, const Recipient& r, uint32_t index,
                        const std::string& owner) {
        std::string where = "recipient " + std::to_string(index + 1) + " of " + owner;
        GPtr<GsfOutfile> storage = newStorage(parent, RecipientStorageName(index), where);
        std::vector<OutProp> props = collect(r.props, where, {});
        writeProperties(storage.get(), props, ObjectKind::Recipient, 0, 0, where);
        closeStorage(storage.get(), where);
    }

    void writeAttachment(GsfOutfile* parent, const Attachment& a, uint32_t index,
                         const std::string& owner) {
        std::string where = "attachment " + std::to_string(index + 1) + " of " + owner;
        GPtr<GsfOutfile> storage = newStorage(parent, AttachmentStorageName(index), where);
        std::vector<OutProp> props = collect(
            a.props, where, {PidTagAttachDataBinary, PidTagAttachDataObject, PidTagAttachMethod});

        // The method must say what the storage holds: readers pick the data by it.
        int32_t method = a.props.int32(PidTagAttachMethod).value_or(ATTACH_BY_VALUE);
        if (a.embedded) {
            method = ATTACH_EMBEDDED_MSG;
        } else if (method == ATTACH_EMBEDDED_MSG) {
            method = ATTACH_BY_VALUE;
        }
        upsert(props, PidTagAttachMethod, method, where);

        if (a.embedded) {
            OutProp object;
            object.tag = PidTagAttachDataObject;
            object.isObject = true;
            object.field = Le64(kObjectSizeField);
            props.push_back(std::move(object));
        } else {
            // The data is normally held outside the bag; an importer may also have left it
            // in the bag.
            const Bytes* data = &a.data;
            if (data->empty() && a.props.binary(PidTagAttachDataBinary) != nullptr)
                data = a.props.binary(PidTagAttachDataBinary);
            if (method == ATTACH_BY_VALUE || !data->empty()) {
                // A 0-byte file keeps its (empty) data stream, so that readers see its data.
                CheckValueSize(data->size(), PidTagAttachDataBinary, where);
                OutProp p;
                p.tag = PidTagAttachDataBinary;
                p.data = data->data();
                p.size = data->size();
                SetStreamSize(p, p.size);
                props.push_back(std::move(p));
            }
        }
        std::sort(props.begin(), props.end(),
                  [](const OutProp& x, const OutProp& y) { return x.tag < y.tag; });
        writeProperties(storage.get(), props, ObjectKind::Attachment, 0, 0, where);

        if (a.embedded) {
            std::string inner = "the message attached as " + where;
            GPtr<GsfOutfile> object =
                newStorage(storage.get(), SubstgName(PidTagAttachDataObject), inner);
            gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(object.get()), kMessageClsid.data());
            writeMessage(object.get(), *a.embedded, ObjectKind::EmbeddedMessage, inner);
            closeStorage(object.get(), inner);
        }
        closeStorage(storage.get(), where);
    }

    // `__nameid_version1.0`, always present; with no named property its three streams are
    // empty.
    void writeNameMap(GsfOutfile* root) {
        const std::string where = "the named-property map";
        GPtr<GsfOutfile> storage = newStorage(root, kNameIdStorageName, where);
        auto what = [&] { return "writing " + where; };
        Bytes guids = names_.guidStream();
        Bytes entries = names_.entryStream();
        Bytes strings = names_.stringStream();
        writeStream(storage.get(), SubstgName(PidTagNameidStreamGuid), guids.data(), guids.size(),
                    what);
        writeStream(storage.get(), SubstgName(PidTagNameidStreamEntry), entries.data(),
                    entries.size(), what);
        writeStream(storage.get(), SubstgName(PidTagNameidStreamString), strings.data(),
                    strings.size(), what);
        for (const auto& [streamId, content] : names_.hashStreams()) {
            writeStream(storage.get(), SubstgName(MakeTag(streamId, PT_BINARY)), content.data(),
                        content.size(), what);
        }
        closeStorage(storage.get(), where);
    }

    GPtr<GsfOutfile> newStorage(GsfOutfile* parent, const std::string& name,
                                const std::string& where) {
        GsfOutput* child = gsf_outfile_new_child(parent, name.c_str(), TRUE);
        if (child == nullptr) {
            throw Failure{"creating the storage of " + where, "the compound file refused it", 0,
                          -1};
        }
        return GPtr<GsfOutfile>(GSF_OUTFILE(child));
    }

    void closeStorage(GsfOutfile* storage, const std::string& where) {
        if (!gsf_output_close(GSF_OUTPUT(storage)))
            throw Failure{"closing the storage of " + where, "the compound file refused it", 0, -1};
    }

    // Each stream is opened, written and closed before the next one: libgsf lets only one
    // stream at a time grow past the mini-stream cutoff. `what` puts the step into words for
    // a failure.
    template <typename Describe>
    void writeStream(GsfOutfile* parent, const std::string& name, const uint8_t* data,
                     uint64_t size, const Describe& what) {
        GPtr<GsfOutput> out(gsf_outfile_new_child(parent, name.c_str(), FALSE));
        if (!out) throw Failure{what(), "the compound file refused the stream " + name, 0, -1};
        uint64_t done = 0;
        while (done < size) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(kWriteChunk, size - done));
            if (!gsf_output_write(out.get(), n, data + done)) {
                checkSink(what);
                throw Failure{what(), "the compound file refused the data of " + name, 0,
                              static_cast<int64_t>(gsf_output_tell(sink_))};
            }
            checkSink(what);
            done += n;
            yield(what);
        }
        bool closed = gsf_output_close(out.get());
        checkSink(what);
        if (!closed) throw Failure{what(), "the compound file could not close " + name, 0, -1};
        yield(what);
    }

    template <typename Describe>
    void yield(const Describe& what) {
        if (clock_ == nullptr) return;
        clock_->maybeYield();
        if (clock_->cancelled())
            throw Failure{what(), "stopped at the user's request", 0, -1, true};
    }

    GsfOutput* sink_;
    const NamedPropertyMap& names_;
    YieldClock* clock_;
};

struct FileCloser {
    void operator()(FILE* f) const {
        if (f != nullptr) std::fclose(f);
    }
};

// A name beside `path` that no writer uses yet: "Email-3.msg.1A2B3C.tmp".
fs::path TemporaryName(const fs::path& path) {
    static std::mutex mutex;
    static std::mt19937_64 random(std::random_device{}());
    uint64_t tag;
    {
        std::lock_guard<std::mutex> lock(mutex);
        tag = random();
    }
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%06llX.tmp",
                  static_cast<unsigned long long>(tag & 0xFFFFFF));
    fs::path tempPath = path;
    tempPath += suffix;
    return tempPath;
}

// Creates a new file beside `path` under a name of its own; the file is opened with
// O_EXCL so that two writers never share one.
int CreateTemporary(const fs::path& path, fs::path& tempPath) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = TemporaryName(path);
        int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Moves the caller's spent file to a temporary name beside `path` and opens it for writing
// over, so that the new file takes its place on the disk: creating a file and deleting another
// cost more than the message itself. Only a plain file with no other name qualifies; -1 when
// the file cannot be taken over (`taken` then says whether it is gone all the same). The file
// is not emptied here but cut to the new length once written: on ext4 emptying a file makes
// its close wait for the disk.
int TakeOverFile(const fs::path& spent, bool spentIsTemporary, const fs::path& path,
                 fs::path& tempPath, bool& taken) {
    taken = false;
    struct stat st {};
    if (spentIsTemporary) {
        int fd = ::open(spent.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return -1;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
            ::fcntl(fd, F_SETFL, 0) != 0) {
            ::close(fd);
            return -1;
        }
        taken = true;
        tempPath = spent;
        return fd;
    }
    if (::lstat(spent.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = TemporaryName(path);
        if (::renameat2(AT_FDCWD, spent.c_str(), AT_FDCWD, tempPath.c_str(), RENAME_NOREPLACE) == 0)
            break;
        if (errno != EEXIST || attempt == 99) return -1;
    }
    taken = true;
    int fd = ::open(tempPath.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) ::unlink(tempPath.c_str());  // the spent file is not wanted either way
    return fd;
}

MsgWriteResult Fail(const fs::path& path, const Failure& f) {
    MsgWriteResult r;
    r.systemError = f.systemError;
    r.cancelled = f.cancelled;
    r.error = "Could not write the Outlook message file \"" + path.string() + "\": " + f.what;
    if (f.offset >= 0) r.error += " (from offset " + std::to_string(f.offset) + ")";
    r.error += " failed: " + f.reason + ".";
    return r;
}

Failure SystemFailure(const std::string& what, int err) {
    return Failure{what, std::strerror(err), err, -1};
}

// Writes the whole buffer at the start of the new file, however the system splits it.
void WriteAll(int fd, const uint8_t* data, uint64_t size) {
    uint64_t done = 0;
    while (done < size) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, size_t(1) << 30));
        ssize_t written = ::write(fd, data + done, n);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            int err = written < 0 ? errno : EIO;
            throw Failure{"writing the file", std::strerror(err), err, static_cast<int64_t>(done)};
        }
        done += static_cast<uint64_t>(written);
    }
}

}  // namespace

// The writer before the compound file was our own, kept only to compare their files.
MsgWriteResult WriteMsgFileWithLibgsf(const Message& message, const std::filesystem::path& path,
                                      const MsgWriteOptions& options);
MsgWriteResult WriteMsgFileWithLibgsf(const Message& message, const std::filesystem::path& path,
                                      const MsgWriteOptions& options) {
    static std::once_flag gsfReady;
    std::call_once(gsfReady, [] { gsf_init(); });

    // What can be known before any file is made.
    NamedPropertyMap names;
    if (!names.collect(message)) {
        return Fail(path, Failure{"mapping the named properties",
                                  "the message uses more named properties than the 32767 a "
                                  ".msg file can map",
                                  0, -1});
    }
    if (BinaryVolume(message) > kMaxCompoundFileSize) {
        return Fail(path, Failure{"checking the size of the message",
                                  "its values take more than the 2 GB a .msg file holds", 0, -1});
    }

    fs::path tempPath;
    int fd = -1;
    bool consumed = false;
    bool writingOver = false;  // the spent file's old bytes are there to be cut off
    if (!options.spentFile.empty()) {
        fd =
            TakeOverFile(options.spentFile, options.spentFileIsTemporary, path, tempPath, consumed);
        writingOver = fd >= 0;
    }
    if (fd < 0) fd = CreateTemporary(path, tempPath);
    if (fd < 0) {
        int err = errno;
        MsgWriteResult r =
            Fail(path, SystemFailure("creating the temporary file \"" +
                                         tempPath.filename().string() + "\" beside it",
                                     err));
        r.spentFileConsumed = consumed;
        return r;
    }
    const bool inMemory = StreamVolume(message) < kInMemoryLimit;
    // Declared before the FILE that uses it, so that it outlives the FILE; left uninitialised
    // (stdio fills it before it writes it).
    std::unique_ptr<char[]> buffer;
    std::unique_ptr<FILE, FileCloser> file;
    if (!inMemory) {
        buffer.reset(new char[kFileBuffer]);
        file.reset(::fdopen(fd, "wb"));
        if (!file) {
            int err = errno;
            ::close(fd);
            ::unlink(tempPath.c_str());
            return Fail(path, SystemFailure("opening the temporary file", err));
        }
        std::setvbuf(file.get(), buffer.get(), _IOFBF, kFileBuffer);
    }
    auto closeFile = [&]() -> int {
        if (file) {
            fd = -1;  // the FILE's own
            return std::fclose(file.release());
        }
        int raw = fd;
        fd = -1;
        return raw >= 0 ? ::close(raw) : 0;
    };

    uint64_t fileSize = 0;
    try {
        {
            // A file sink leaves the FILE open when it closes: flushing, syncing and closing
            // are checked here.
            GPtr<GsfOutput> sink(
                inMemory ? gsf_output_memory_new()
                         : gsf_output_stdio_new_FILE(tempPath.c_str(), file.get(), TRUE));
            if (!sink) throw Failure{"starting the compound file", "libgsf refused it", 0, -1};
            Writer writer(sink.get(), names, options.yieldClock);
            GPtr<GsfOutfile> root(gsf_outfile_msole_new(sink.get()));
            if (!root) throw Failure{"starting the compound file", "libgsf refused it", 0, -1};
            writer.checkSink([] { return std::string("writing the compound file header"); });
            gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(root.get()), kMessageClsid.data());
            writer.writeMessage(root.get(), message, ObjectKind::TopMessage, "the message");
            // Writes the mini stream, the allocation tables and the directory.
            bool closed = gsf_output_close(GSF_OUTPUT(root.get()));
            writer.checkSink([] { return std::string("finishing the compound file"); });
            if (!closed)
                throw Failure{"finishing the compound file", "libgsf could not close it", 0, -1};
            uint64_t size = static_cast<uint64_t>(gsf_output_size(sink.get()));
            fileSize = size;
            if (size > kMaxCompoundFileSize) {
                throw Failure{"finishing the compound file",
                              "it would be " + std::to_string(size) +
                                  " bytes and a .msg file holds at most 2 GB",
                              0, -1};
            }
            if (inMemory) {
                const guint8* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(sink.get()));
                WriteAll(fd, bytes, size);
            }
        }
        if (file && std::fflush(file.get()) != 0) throw SystemFailure("writing the file", errno);
        int descriptor = file ? ::fileno(file.get()) : fd;
        if (writingOver && ::ftruncate(descriptor, static_cast<off_t>(fileSize)) != 0)
            throw SystemFailure("cutting the file to its length", errno);
        if (options.syncToDisk && ::fsync(descriptor) != 0)
            throw SystemFailure("flushing the file to the disk", errno);
        if (closeFile() != 0) throw SystemFailure("closing the file", errno);
        std::error_code ec;
        fs::rename(tempPath, path, ec);
        if (ec) throw Failure{"giving the file its final name", ec.message(), ec.value(), -1};
    } catch (const Failure& f) {
        closeFile();
        ::unlink(tempPath.c_str());
        MsgWriteResult r = Fail(path, f);
        r.spentFileConsumed = consumed;
        return r;
    } catch (const std::exception& e) {  // out of memory, mostly
        closeFile();
        ::unlink(tempPath.c_str());
        MsgWriteResult r = Fail(path, Failure{"writing the file", e.what(), 0, -1});
        r.spentFileConsumed = consumed;
        return r;
    }
    if (options.syncToDisk) {
        // The new name itself lives in the folder: make it survive a power cut too.
        fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
        int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0 || ::fsync(dir) != 0) {
            int err = errno;
            if (dir >= 0) ::close(dir);
            MsgWriteResult r = Fail(path, SystemFailure("flushing its folder to the disk", err));
            r.spentFileConsumed = consumed;
            return r;
        }
        ::close(dir);
    }
    MsgWriteResult r;
    r.spentFileConsumed = consumed;
    return r;
}

}  // namespace quill::store::msg
