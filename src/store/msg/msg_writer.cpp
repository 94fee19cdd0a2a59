#include "store/msg/msg_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <variant>

#include "store/limits.h"
#include "store/msg/cfb_writer.h"
#include "store/msg/msg_layout.h"
#include "store/utf16.h"

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

// A message whose file is at most kFileBuffer is copied whole into one buffer and written with
// one write(); one smaller than kInMemoryLimit reaches the disk in one writev() straight from
// the message's own buffers; a larger one in pieces of about a MiB, so that a large attachment
// is never copied whole nor held in thousands of pieces.
// Buffer of a small file, or of the pieces of a large one: the tables and small streams
// between its large ones.
constexpr size_t kFileBuffer = size_t(256) << 10;
// A front end given a clock has a turn about this often while a file is written.
constexpr uint64_t kYieldEvery = uint64_t(1) << 20;

std::array<uint8_t, 8> Le64(uint64_t v) {
    std::array<uint8_t, 8> out{};
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
    return out;
}

// One property as it goes to disk: its 16-byte entry and, for everything kept in a stream,
// the stream content.
struct OutProp {
    PropTag tag = 0;
    std::array<uint8_t, 8> field{};  // inline value, or Size and 4 reserved bytes
    bool inStream = false;
    bool isObject = false;            // embedded message storage, written separately
    std::unique_ptr<uint8_t[]> text;  // a long string converted to UTF-16LE
    Bytes owned;                      // the length stream of a multi-valued string
    const uint8_t* data = nullptr;    // stream content (the model's own buffer, or a short
                                      // string converted into the writer's StringRoom)
    uint64_t size = 0;
    std::vector<Bytes> values;  // multi-valued strings, each with its terminator
};

// Room for the converted strings small enough for the mini stream, which copies them when
// they are added: a few blocks for all of them instead of a buffer of its own for each. The
// room is kept until the writer is done with the message.
class StringRoom {
  public:
    static constexpr size_t kLargest = CompoundFile::kMiniStreamCutoff - 1;

    // Room for `size` bytes, at most kLargest.
    uint8_t* take(size_t size) {
        if (size > kBlock - used_) {
            blocks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(kBlock));
            used_ = 0;
        }
        uint8_t* at = blocks_.back().get() + used_;
        used_ += size;
        return at;
    }
    // Gives back the end of the last room taken, `unused` bytes of it.
    void giveBack(size_t unused) { used_ -= unused; }

  private:
    static constexpr size_t kBlock = 32 * 1024;
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;
    size_t used_ = kBlock;
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
std::optional<OutProp> MakeProp(PropTag tag, const PropValue& value, const std::string& where,
                                StringRoom& room) {
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
        const size_t most = MaxUtf16leSize(*v);
        if (most <= StringRoom::kLargest) {
            uint8_t* at = room.take(most);
            p.size = PutUtf16le(at, *v);
            room.giveBack(most - p.size);
            p.data = at;
        } else {
            p.text = std::make_unique_for_overwrite<uint8_t[]>(most);
            p.size = PutUtf16le(p.text.get(), *v);
        }
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

class Writer {
  public:
    Writer(CompoundFile& file, const NamedPropertyMap& names) : file_(file), names_(names) {}

    void writeMessage(CompoundFile::EntryId storage, const Message& m, ObjectKind kind,
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
                        static_cast<uint32_t>(m.attachments.size()));
        for (size_t i = 0; i < m.recipients.size(); ++i)
            writeRecipient(storage, m.recipients[i], static_cast<uint32_t>(i), where);
        for (size_t i = 0; i < m.attachments.size(); ++i)
            writeAttachment(storage, m.attachments[i], static_cast<uint32_t>(i), where);
        if (kind == ObjectKind::TopMessage) writeNameMap(storage);
    }

  private:
    // Properties of a bag in tag order, named ones under their mapped ids. `skip` lists the
    // tags the caller writes itself.
    std::vector<OutProp> collect(const PropertyBag& bag, const std::string& where,
                                 std::initializer_list<PropTag> skip) {
        std::vector<OutProp> props;
        props.reserve(bag.tagged().size() + bag.named().size() + 2);  // and what the caller adds
        for (const auto& [tag, value] : bag.tagged()) {
            if (std::find(skip.begin(), skip.end(), tag) != skip.end()) continue;
            if (PropIdOf(tag) >= kFirstNamedId) {
                // Without a name such an id means nothing, and it could clash with ours.
                throw Failure{"writing property " + TagText(tag) + " of " + where,
                              "ids from 0x8000 on belong to named properties, and this one "
                              "has no name",
                              0, -1};
            }
            if (auto p = MakeProp(tag, value, where, room_)) props.push_back(std::move(*p));
        }
        // The tagged ones come in tag order; the named ones, all of them past the tagged ones,
        // in the order of their names.
        const size_t tagged = props.size();
        for (const auto& nv : bag.named()) {
            PropTag tag = MakeTag(names_.idOf(nv.name), nv.type);
            if (auto p = MakeProp(tag, nv.value, where, room_)) props.push_back(std::move(*p));
        }
        std::sort(props.begin() + static_cast<ptrdiff_t>(tagged), props.end(),
                  [](const OutProp& a, const OutProp& b) { return a.tag < b.tag; });
        return props;
    }

    void upsert(std::vector<OutProp>& props, PropTag tag, PropValue value,
                const std::string& where) {
        std::optional<OutProp> p = MakeProp(tag, value, where, room_);
        auto it = std::find_if(props.begin(), props.end(),
                               [&](const OutProp& q) { return q.tag == tag; });
        if (it != props.end()) {
            *it = std::move(*p);
        } else {
            auto at = std::find_if(props.begin(), props.end(),
                                   [&](const OutProp& q) { return q.tag > tag; });
            props.insert(at, std::move(*p));
        }
    }

    // The property stream and the value streams. Long values the writer converted go to the
    // compound file with their buffers; the model's own values and the short converted ones
    // are written from where they are (small streams are copied into the mini stream).
    void writeProperties(CompoundFile::EntryId storage, std::vector<OutProp>& props,
                         ObjectKind kind, uint32_t recipients, uint32_t attachments) {
        Bytes stream = PropertyStreamHeader(kind, recipients, attachments, props.size());
        for (const auto& p : props) AppendPropertyEntry(stream, p.tag, p.field);
        file_.addStream(storage, kPropertyStreamName, std::move(stream));
        for (auto& p : props) {
            if (!p.inStream) continue;
            if (p.text != nullptr)
                file_.addStream(storage, SubstgName(p.tag), std::move(p.text), p.size);
            else if (p.data != nullptr)
                file_.addStream(storage, SubstgName(p.tag), p.data, p.size);
            else
                file_.addStream(storage, SubstgName(p.tag), std::move(p.owned));
            for (size_t i = 0; i < p.values.size(); ++i) {
                file_.addStream(storage, SubstgValueName(p.tag, static_cast<uint32_t>(i)),
                                std::move(p.values[i]));
            }
        }
    }

    void writeRecipient(CompoundFile::EntryId parent, const Recipient& r, uint32_t index,
                        const std::string& owner) {
        std::string where = "recipient " + std::to_string(index + 1) + " of " + owner;
        CompoundFile::EntryId storage = file_.addStorage(parent, RecipientStorageName(index));
        std::vector<OutProp> props = collect(r.props, where, {});
        writeProperties(storage, props, ObjectKind::Recipient, 0, 0);
    }

    void writeAttachment(CompoundFile::EntryId parent, const Attachment& a, uint32_t index,
                         const std::string& owner) {
        std::string where = "attachment " + std::to_string(index + 1) + " of " + owner;
        CompoundFile::EntryId storage = file_.addStorage(parent, AttachmentStorageName(index));
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
        writeProperties(storage, props, ObjectKind::Attachment, 0, 0);

        if (a.embedded) {
            CompoundFile::EntryId object =
                file_.addStorage(storage, SubstgName(PidTagAttachDataObject), kMessageClsid);
            writeMessage(object, *a.embedded, ObjectKind::EmbeddedMessage,
                         "the message attached as " + where);
        }
    }

    // `__nameid_version1.0`, always present; with no named property its three streams are
    // empty.
    void writeNameMap(CompoundFile::EntryId root) {
        CompoundFile::EntryId storage = file_.addStorage(root, kNameIdStorageName);
        file_.addStream(storage, SubstgName(PidTagNameidStreamGuid), names_.guidStream());
        file_.addStream(storage, SubstgName(PidTagNameidStreamEntry), names_.entryStream());
        file_.addStream(storage, SubstgName(PidTagNameidStreamString), names_.stringStream());
        for (auto& [streamId, content] : names_.hashStreams())
            file_.addStream(storage, SubstgName(MakeTag(streamId, PT_BINARY)), std::move(content));
    }

    CompoundFile& file_;
    const NamedPropertyMap& names_;
    StringRoom room_;
};

// A name beside `path` that no writer uses yet: "Email-3.msg.1A2B3C.tmp".
// A counter from a random start, spread by a multiplication, instead of a random generator
// behind a lock: the name only has to differ from the others of the moment (O_EXCL checks).
fs::path TemporaryName(const fs::path& path) {
    static std::atomic<uint64_t> counter{std::random_device{}()};
    const uint64_t tag = counter.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ull;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%06llX.tmp", static_cast<unsigned long long>(tag >> 40));
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

// An unnamed file in the folder of `path` (O_TMPFILE), named by NameUnnamed once written:
// the folder gets one new entry instead of a temporary name and then a rename, which on a disk
// file system is a good part of the cost of a small file. -1 where the file system cannot make
// one, or the system has no /proc to name it by: the caller then makes a named temporary.
int CreateUnnamed(const fs::path& path) {
#ifdef O_TMPFILE
    static const bool canName = ::access("/proc/self/fd", X_OK) == 0;
    if (!canName) return -1;
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    return ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#else
    return -1;
#endif
}

// Gives the unnamed file open as `fd` the name `path`, replacing what has that name as a
// rename would: then it is linked under a temporary name first (`tempPath`, cleared again
// once renamed). 0, or the errno of the step that failed.
int NameUnnamed(int fd, const fs::path& path, fs::path& tempPath) {
    char self[48];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno != EEXIST) return errno;
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = TemporaryName(path);
        if (::linkat(AT_FDCWD, self, AT_FDCWD, tempPath.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            const int err = ::rename(tempPath.c_str(), path.c_str()) == 0 ? 0 : errno;
            if (err != 0) ::unlink(tempPath.c_str());
            tempPath.clear();
            return err;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
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

// What the two ways of writing the compound file share: the file, the offset reached for a
// failure's words, and the turns of a front end given a clock.
class FileSinkBase : public CompoundFile::Sink {
  protected:
    FileSinkBase(int fd, YieldClock* clock) : fd_(fd), clock_(clock) {}

    void produced(size_t size) {
        produced_ += size;
        if (clock_ != nullptr && produced_ >= nextYield_) {
            nextYield_ = produced_ + kYieldEvery;
            clock_->maybeYield();
            if (clock_->cancelled())
                throw Failure{"writing the file", "stopped at the user's request", 0, -1, true};
        }
    }

    // Writes the pieces in order, however the system splits them; `pieces` is used up.
    void writeAll(iovec* pieces, size_t count) {
        while (count > 0) {
            ssize_t written =
                ::writev(fd_, pieces, static_cast<int>(std::min<size_t>(count, IOV_MAX)));
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                int err = written < 0 ? errno : EIO;
                throw Failure{"writing the file", std::strerror(err), err,
                              static_cast<int64_t>(offset_)};
            }
            offset_ += static_cast<uint64_t>(written);
            for (size_t left = static_cast<size_t>(written); count > 0 && left > 0;) {
                size_t step = std::min(left, pieces->iov_len);
                pieces->iov_base = static_cast<uint8_t*>(pieces->iov_base) + step;
                pieces->iov_len -= step;
                left -= step;
                if (pieces->iov_len == 0) ++pieces, --count;
            }
            while (count > 0 && pieces->iov_len == 0) ++pieces, --count;
        }
    }

  private:
    int fd_;
    YieldClock* clock_;
    uint64_t offset_ = 0;
    uint64_t produced_ = 0;
    uint64_t nextYield_ = kYieldEvery;
};

// A file under kInMemoryLimit in one writev(): its streams straight from where they are (the
// message's buffers and the compound file's mini stream), only the header and tables copied
// aside.
class GatheringSink : public FileSinkBase {
  public:
    GatheringSink(int fd, YieldClock* clock) : FileSinkBase(fd, clock) { pieces_.reserve(64); }

    void write(const uint8_t* data, size_t size) override {
        copies_.emplace_back(data, data + size);  // the buffer stays put when the list grows
        writeLasting(copies_.back().data(), size);
    }
    void writeLasting(const uint8_t* data, size_t size) override {
        if (size == 0) return;
        pieces_.push_back({const_cast<uint8_t*>(data), size});
        produced(size);
    }
    void flush() { writeAll(pieces_.data(), pieces_.size()); }

  private:
    std::vector<iovec> pieces_;
    std::vector<Bytes> copies_;
};

// A file in pieces through a buffer of kFileBuffer bytes: the small pieces copied into it, the
// large ones (a large stream's megabyte at a time) straight from the message's buffers. A
// file that fits the buffer reaches the disk in one write(), which on tmpfs costs less than
// a writev() of its scattered pieces.
class BufferedSink : public FileSinkBase {
  public:
    BufferedSink(int fd, YieldClock* clock) : FileSinkBase(fd, clock) {
        // The thread's spare buffer, unless a sink of this thread holds it already: asking
        // the heap for a file's worth of memory and giving it back costs more, for a small
        // file, than laying the file out.
        buffer_ = std::move(spare_);
        if (buffer_ == nullptr) buffer_ = std::make_unique_for_overwrite<uint8_t[]>(kFileBuffer);
    }
    ~BufferedSink() override {
        if (spare_ == nullptr) spare_ = std::move(buffer_);
    }

    void write(const uint8_t* data, size_t size) override {
        if (size > kFileBuffer - used_) flush();
        if (size >= kFileBuffer) {
            iovec piece{const_cast<uint8_t*>(data), size};
            writeAll(&piece, 1);
        } else {
            std::memcpy(buffer_.get() + used_, data, size);
            used_ += size;
        }
        produced(size);
    }
    void flush() {
        iovec piece{buffer_.get(), used_};
        writeAll(&piece, used_ > 0 ? 1 : 0);
        used_ = 0;
    }

  private:
    static thread_local std::unique_ptr<uint8_t[]> spare_;
    std::unique_ptr<uint8_t[]> buffer_;  // left uninitialised: filled before it is written
    size_t used_ = 0;
};

thread_local std::unique_ptr<uint8_t[]> BufferedSink::spare_;

// Both ways of writing: into the caller's file `tempPath`, open as `fd`, when it gives one
// (fd >= 0), else into a temporary file the writer makes.
MsgWriteResult Write(const Message& message, const fs::path& path, int fd, fs::path tempPath,
                     const MsgWriteOptions& options) {
    struct Closer {
        int& fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } closer{fd};
    // What can be known before any file is made: the whole layout.
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
    CompoundFile compound;
    uint64_t fileSize = 0;
    try {
        compound.setClassId(CompoundFile::kRoot, kMessageClsid);
        Writer(compound, names)
            .writeMessage(CompoundFile::kRoot, message, ObjectKind::TopMessage, "the message");
        fileSize = compound.fileSize();
    } catch (const Failure& f) {
        return Fail(path, f);
    } catch (const std::exception& e) {  // out of memory, mostly
        return Fail(path, Failure{"laying out the file", e.what(), 0, -1});
    }
    if (fileSize > kMaxCompoundFileSize) {
        return Fail(path, Failure{"checking the size of the message",
                                  "its file would be " + std::to_string(fileSize) +
                                      " bytes and a .msg file holds at most 2 GB (" +
                                      std::to_string(kMaxCompoundFileSize) + " bytes)",
                                  0, -1});
    }

    // The caller's file is written over, not emptied first: on ext4 emptying a file makes its
    // close wait for the disk. When it was longer, it is cut to the new length once written.
    bool writingOver = false;
    bool unnamed = false;
    struct stat st {};
    if (fd >= 0)
        writingOver = ::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) > fileSize;
    else if ((fd = CreateUnnamed(path)) >= 0)
        unnamed = true;
    else
        fd = CreateTemporary(path, tempPath);
    if (fd < 0) {
        int err = errno;
        return Fail(path, SystemFailure("creating the temporary file \"" +
                                            tempPath.filename().string() + "\" beside it",
                                        err));
    }
    auto closeFile = [&]() -> int {
        int raw = fd;
        fd = -1;
        return raw >= 0 ? ::close(raw) : 0;
    };

    try {
        {
            if (fileSize > kFileBuffer && fileSize < kInMemoryLimit) {
                GatheringSink sink(fd, options.yieldClock);
                compound.writeTo(sink);
                sink.flush();
            } else {
                BufferedSink sink(fd, options.yieldClock);
                compound.writeTo(sink);
                sink.flush();
            }
        }
        if (writingOver && ::ftruncate(fd, static_cast<off_t>(fileSize)) != 0)
            throw SystemFailure("cutting the file to its length", errno);
        if (options.syncToDisk && ::fsync(fd) != 0)
            throw SystemFailure("flushing the file to the disk", errno);
        if (unnamed) {
            if (int err = NameUnnamed(fd, path, tempPath))
                throw SystemFailure("giving the file its final name", err);
            if (closeFile() != 0) {
                const int err = errno;
                ::unlink(path.c_str());
                throw SystemFailure("closing the file", err);
            }
        } else {
            if (closeFile() != 0) throw SystemFailure("closing the file", errno);
            std::error_code ec;
            fs::rename(tempPath, path, ec);
            if (ec) throw Failure{"giving the file its final name", ec.message(), ec.value(), -1};
        }
    } catch (const Failure& f) {
        closeFile();
        ::unlink(tempPath.c_str());
        return Fail(path, f);
    } catch (const std::exception& e) {  // out of memory, mostly
        closeFile();
        ::unlink(tempPath.c_str());
        return Fail(path, Failure{"writing the file", e.what(), 0, -1});
    }
    if (options.syncToDisk) {
        // The new name itself lives in the folder: make it survive a power cut too.
        fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
        int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0 || ::fsync(dir) != 0) {
            int err = errno;
            if (dir >= 0) ::close(dir);
            return Fail(path, SystemFailure("flushing its folder to the disk", err));
        }
        ::close(dir);
    }
    return {};
}

}  // namespace

MsgWriteResult WriteMsgFile(const Message& message, const std::filesystem::path& path,
                            const MsgWriteOptions& options) {
    return Write(message, path, -1, {}, options);
}

MsgWriteResult WriteMsgFile(const Message& message, const std::filesystem::path& path, int fd,
                            const std::filesystem::path& file, const MsgWriteOptions& options) {
    return Write(message, path, fd, file, options);
}

}  // namespace quill::store::msg
