#include "store/msg/cfb_writer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <string>

#include "store/byte_order.h"

namespace quill::store::msg {

namespace {

// Special sector numbers and the empty link of the directory ([MS-CFB] 2.1).
constexpr uint32_t MAXREGSECT = 0xFFFFFFFA;
constexpr uint32_t DIFSECT = 0xFFFFFFFC;
constexpr uint32_t FATSECT = 0xFFFFFFFD;
constexpr uint32_t ENDOFCHAIN = 0xFFFFFFFE;
constexpr uint32_t FREESECT = 0xFFFFFFFF;
constexpr uint32_t NOSTREAM = 0xFFFFFFFF;

constexpr uint64_t kSector = CompoundFile::kSectorSize;
constexpr uint64_t kMiniSector = 64;
constexpr uint32_t kEntriesPerSector = kSector / 4;  // FAT, mini FAT and DIFAT entries
constexpr uint32_t kDirEntrySize = 128;
constexpr uint32_t kHeaderDifatEntries = 109;
constexpr uint8_t kZeros[kSector] = {};

// The characters an entry name may have: printable ASCII but '/', '\', ':' and '!'.
constexpr std::array<bool, 256> kNameCharacters = [] {
    std::array<bool, 256> ok{};
    for (int c = 0x20; c <= 0x7E; ++c) ok[c] = c != '/' && c != '\\' && c != ':' && c != '!';
    return ok;
}();

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

uint64_t SectorsFor(uint64_t bytes, uint64_t unit) {
    return (bytes + unit - 1) / unit;
}

// Fills the rest of the last sector with zeros.
void Pad(CompoundFile::Sink& sink, uint64_t written) {
    if (uint64_t tail = written % kSector)
        sink.writeLasting(kZeros, static_cast<size_t>(kSector - tail));
}

// Entries of a table (FAT, mini FAT, DIFAT), handed to the sink a few sectors at a time.
class TableWriter {
  public:
    explicit TableWriter(CompoundFile::Sink& sink) : sink_(sink) {}
    ~TableWriter() = default;
    void add(uint32_t value) {
        StoreU32(buffer_ + 4 * used_, value);
        if (++used_ == kCapacity) flush();
    }
    void flush() {
        if (used_ > 0) sink_.write(buffer_, 4 * used_);
        used_ = 0;
    }

  private:
    static constexpr size_t kCapacity = 16 * 1024;
    CompoundFile::Sink& sink_;
    uint8_t buffer_[4 * kCapacity];
    size_t used_ = 0;
};

}  // namespace

CompoundFile::CompoundFile() {
    // Room for a typical message: about 50 entries, a few KB of small streams.
    entries_.reserve(64);
    mini_.reserve(16 * 1024);
    miniFat_.reserve(kEntriesPerSector);
    Entry root;
    root.type = 5;
    root.left = root.right = root.child = NOSTREAM;
    root.start = ENDOFCHAIN;
    const char* name = "Root Entry";
    for (size_t i = 0; name[i] != 0; ++i, ++root.nameUnits) {
        root.name[i] = name[i];
        root.key[i] = Upper(name[i]);
    }
    entries_.push_back(root);
}

CompoundFile::EntryId CompoundFile::addEntry(EntryId parent, std::string_view name, uint8_t type) {
    if (laidOut_) throw std::logic_error("compound file: an entry added after the layout");
    if (parent >= entries_.size() || entries_[parent].type == 2)
        throw std::logic_error("compound file: the parent of \"" + std::string(name) +
                               "\" is not a storage");
    if (name.empty() || name.size() > 31)
        throw std::logic_error("compound file: the name \"" + std::string(name) +
                               "\" is not 1 to 31 characters long");
    Entry e;
    bool valid = true;
    for (size_t i = 0; i < name.size(); ++i) {
        valid &= kNameCharacters[static_cast<unsigned char>(name[i])];
        e.name[i] = name[i];
        e.key[i] = Upper(name[i]);
    }
    if (!valid)
        throw std::logic_error("compound file: the name \"" + std::string(name) +
                               "\" has a character a name cannot have");
    e.nameUnits = static_cast<uint16_t>(name.size());
    e.type = type;
    e.left = e.right = e.child = NOSTREAM;
    e.start = type == 1 ? 0 : ENDOFCHAIN;
    e.parent = parent;
    EntryId id = static_cast<EntryId>(entries_.size());
    entries_.push_back(e);
    return id;
}

CompoundFile::EntryId CompoundFile::addStorage(EntryId parent, std::string_view name,
                                               const ClassId& clsid) {
    EntryId id = addEntry(parent, name, 1);
    entries_[id].clsid = clsid;
    return id;
}

void CompoundFile::setClassId(EntryId storage, const ClassId& clsid) {
    entries_.at(storage).clsid = clsid;
}

void CompoundFile::addStream(EntryId parent, std::string_view name, const uint8_t* data,
                             uint64_t size) {
    EntryId id = addEntry(parent, name, 2);
    Entry& e = entries_[id];
    e.size = size;
    if (size == 0) return;  // no sector at all: starts at ENDOFCHAIN
    if (size >= kMiniStreamCutoff) {
        e.data = data;
        largeStreams_.push_back(id);
        return;
    }
    // A chain of consecutive mini sectors at the end of the mini stream.
    uint32_t first = static_cast<uint32_t>(mini_.size() / kMiniSector);
    uint32_t count = static_cast<uint32_t>(SectorsFor(size, kMiniSector));
    e.start = first;
    mini_.insert(mini_.end(), data, data + size);
    mini_.resize(size_t(first + count) * kMiniSector, 0);
    for (uint32_t i = 1; i < count; ++i) miniFat_.push_back(first + i);
    miniFat_.push_back(ENDOFCHAIN);
}

void CompoundFile::addStream(EntryId parent, std::string_view name, Bytes data) {
    if (data.size() < kMiniStreamCutoff) {
        addStream(parent, name, data.data(), data.size());
        return;
    }
    // Moving the vector keeps its buffer where it is.
    const uint8_t* bytes = data.data();
    kept_.push_back(std::move(data));
    addStream(parent, name, bytes, kept_.back().size());
}

void CompoundFile::addStream(EntryId parent, std::string_view name, std::unique_ptr<uint8_t[]> data,
                             uint64_t size) {
    const uint8_t* bytes = data.get();
    if (size >= kMiniStreamCutoff) keptBuffers_.push_back(std::move(data));
    addStream(parent, name, bytes, size);
}

// Builds a balanced search tree of sorted[lo, hi) and returns its top. Every level but the
// last is full, so with the last level red (when it is not full itself) and every other node
// black, each path from the top down to a missing child meets the same number of black
// nodes and no red node has a red child: a valid red-black tree ([MS-CFB] 2.6.4).
CompoundFile::EntryId CompoundFile::buildTree(const std::vector<EntryId>& sorted, size_t lo,
                                              size_t hi, int depth, int redDepth) {
    if (lo >= hi) return NOSTREAM;
    size_t mid = lo + (hi - lo) / 2;
    Entry& e = entries_[sorted[mid]];
    e.colour = depth == redDepth ? 0 : 1;
    e.left = buildTree(sorted, lo, mid, depth + 1, redDepth);
    entries_[sorted[mid]].right = buildTree(sorted, mid + 1, hi, depth + 1, redDepth);
    return sorted[mid];
}

void CompoundFile::layOut() {
    if (laidOut_) return;
    laidOut_ = true;

    // Sibling trees, ordered as [MS-CFB] 2.6.4 compares names: the shorter name first, then
    // unit by unit after upper-casing (our names are ASCII, so byte by byte). One sort puts
    // the entries of each storage together, in that order.
    auto less = [this](EntryId a, EntryId b) {
        const Entry& x = entries_[a];
        const Entry& y = entries_[b];
        if (x.nameUnits != y.nameUnits) return x.nameUnits < y.nameUnits;
        return std::memcmp(x.key.data(), y.key.data(), x.nameUnits) < 0;
    };
    std::vector<EntryId> sorted(entries_.size() - 1);
    std::iota(sorted.begin(), sorted.end(), EntryId{1});
    std::sort(sorted.begin(), sorted.end(), [&](EntryId a, EntryId b) {
        if (entries_[a].parent != entries_[b].parent)
            return entries_[a].parent < entries_[b].parent;
        return less(a, b);
    });
    for (size_t lo = 0, hi = 0; lo < sorted.size(); lo = hi) {
        const EntryId parent = entries_[sorted[lo]].parent;
        for (hi = lo + 1; hi < sorted.size() && entries_[sorted[hi]].parent == parent; ++hi) {
            if (!less(sorted[hi - 1], sorted[hi]))
                throw std::logic_error("compound file: two entries of one storage share a name");
        }
        const size_t count = hi - lo;
        int height = 0;  // depth of the deepest node
        while ((size_t(2) << height) <= count) ++height;
        bool full = count == (size_t(2) << height) - 1;
        int redDepth = full || height == 0 ? -1 : height;
        entries_[parent].child = buildTree(sorted, lo, hi, 0, redDepth);
    }

    // Sectors, front to back.
    runs_.reserve(largeStreams_.size() + 3);
    uint64_t next = 0;
    auto run = [&](uint64_t count) {
        if (next + count > MAXREGSECT) throw std::length_error("compound file too large");
        uint32_t start = static_cast<uint32_t>(next);
        if (count > 0) runs_.push_back({start, static_cast<uint32_t>(count)});
        next += count;
        return start;
    };
    for (EntryId id : largeStreams_)
        entries_[id].start = run(SectorsFor(entries_[id].size, kSector));
    miniStreamSectors_ = static_cast<uint32_t>(SectorsFor(mini_.size(), kSector));
    miniStreamStart_ = run(miniStreamSectors_);
    miniFat_.resize(SectorsFor(miniFat_.size(), kEntriesPerSector) * kEntriesPerSector, FREESECT);
    miniFatSectors_ = static_cast<uint32_t>(miniFat_.size() / kEntriesPerSector);
    miniFatStart_ = run(miniFatSectors_);
    directorySectors_ = static_cast<uint32_t>(SectorsFor(entries_.size(), kSector / kDirEntrySize));
    directoryStart_ = run(directorySectors_);

    // The FAT covers every sector, its own and the DIFAT's included.
    uint64_t fat = 0, difat = 0;
    while (true) {
        difat = fat > kHeaderDifatEntries
                    ? SectorsFor(fat - kHeaderDifatEntries, kEntriesPerSector - 1)
                    : 0;
        if (fat * kEntriesPerSector >= next + fat + difat) break;
        ++fat;
    }
    if (next + fat + difat > MAXREGSECT) throw std::length_error("compound file too large");
    fatStart_ = static_cast<uint32_t>(next);
    fatSectors_ = static_cast<uint32_t>(fat);
    difatStart_ = static_cast<uint32_t>(next + fat);
    difatSectors_ = static_cast<uint32_t>(difat);
    sectors_ = next + fat + difat;

    Entry& root = entries_[kRoot];
    root.start = mini_.empty() ? ENDOFCHAIN : miniStreamStart_;
    root.size = mini_.size();
}

uint64_t CompoundFile::fileSize() {
    layOut();
    return (sectors_ + 1) * kSector;
}

void CompoundFile::writeHeader(Sink& sink) const {
    uint8_t h[kSector] = {};
    static constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::memcpy(h, kSignature, 8);
    StoreU16(h + 0x18, 0x003E);  // minor version
    StoreU16(h + 0x1A, 0x0003);  // major version 3: 512-byte sectors
    StoreU16(h + 0x1C, 0xFFFE);  // byte order
    StoreU16(h + 0x1E, 9);       // sector shift
    StoreU16(h + 0x20, 6);       // mini sector shift
    StoreU32(h + 0x2C, fatSectors_);
    StoreU32(h + 0x30, directoryStart_);
    StoreU32(h + 0x38, static_cast<uint32_t>(kMiniStreamCutoff));
    StoreU32(h + 0x3C, miniFatSectors_ > 0 ? miniFatStart_ : ENDOFCHAIN);
    StoreU32(h + 0x40, miniFatSectors_);
    StoreU32(h + 0x44, difatSectors_ > 0 ? difatStart_ : ENDOFCHAIN);
    StoreU32(h + 0x48, difatSectors_);
    for (uint32_t i = 0; i < kHeaderDifatEntries; ++i)
        StoreU32(h + 0x4C + 4 * i, i < fatSectors_ ? fatStart_ + i : FREESECT);
    sink.write(h, sizeof h);
}

void CompoundFile::writeDirectory(Sink& sink) const {
    std::vector<uint8_t> dir(size_t(directorySectors_) * kSector, 0);
    for (size_t i = 0; i < dir.size() / kDirEntrySize; ++i) {
        uint8_t* at = dir.data() + i * kDirEntrySize;
        if (i >= entries_.size()) {  // a free entry: no name, no links
            StoreU32(at + 0x44, NOSTREAM);
            StoreU32(at + 0x48, NOSTREAM);
            StoreU32(at + 0x4C, NOSTREAM);
            continue;
        }
        const Entry& e = entries_[i];
        for (size_t u = 0; u < e.nameUnits; ++u) at[2 * u] = static_cast<uint8_t>(e.name[u]);
        StoreU16(at + 0x40, static_cast<uint16_t>(2 * (e.nameUnits + 1)));
        at[0x42] = e.type;
        at[0x43] = e.colour;
        StoreU32(at + 0x44, e.left);
        StoreU32(at + 0x48, e.right);
        StoreU32(at + 0x4C, e.child);
        std::memcpy(at + 0x50, e.clsid.data(), 16);
        StoreU32(at + 0x74, e.start);
        StoreU64(at + 0x78, e.size);
    }
    sink.write(dir.data(), dir.size());
}

void CompoundFile::writeFat(Sink& sink) const {
    TableWriter table(sink);
    for (const Run& r : runs_) {
        for (uint32_t i = 1; i < r.count; ++i) table.add(r.start + i);
        table.add(ENDOFCHAIN);
    }
    for (uint32_t i = 0; i < fatSectors_; ++i) table.add(FATSECT);
    for (uint32_t i = 0; i < difatSectors_; ++i) table.add(DIFSECT);
    for (uint64_t i = sectors_; i < uint64_t(fatSectors_) * kEntriesPerSector; ++i)
        table.add(FREESECT);
    table.flush();
}

void CompoundFile::writeDifat(Sink& sink) const {
    TableWriter table(sink);
    uint32_t fat = kHeaderDifatEntries;
    for (uint32_t s = 0; s < difatSectors_; ++s) {
        for (uint32_t i = 0; i < kEntriesPerSector - 1; ++i, ++fat)
            table.add(fat < fatSectors_ ? fatStart_ + fat : FREESECT);
        table.add(s + 1 < difatSectors_ ? difatStart_ + s + 1 : ENDOFCHAIN);
    }
    table.flush();
}

void CompoundFile::writeTo(Sink& sink) {
    layOut();
    writeHeader(sink);
    for (EntryId id : largeStreams_) {
        const Entry& e = entries_[id];
        for (uint64_t done = 0; done < e.size;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(kPieceSize, e.size - done));
            sink.writeLasting(e.data + done, n);
            done += n;
        }
        Pad(sink, e.size);
    }
    if (!mini_.empty()) {
        sink.writeLasting(mini_.data(), mini_.size());
        Pad(sink, mini_.size());
    }
    if (miniFatSectors_ > 0) {
        TableWriter table(sink);
        for (uint32_t v : miniFat_) table.add(v);
        table.flush();
    }
    writeDirectory(sink);
    writeFat(sink);
    writeDifat(sink);
}

}  // namespace quill::store::msg
