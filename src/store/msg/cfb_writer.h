#pragma once
// A compound file ([MS-CFB]) as an Outlook .msg file needs it: version 3 (512-byte sectors),
// streams under 4096 bytes in the mini stream (64-byte mini sectors), the allocation tables
// (FAT, mini FAT and, past 109 FAT sectors, DIFAT sectors) and a directory whose sibling trees
// are valid red-black trees. Time stamps are zero.
//
// A .msg file is fully known before a byte of it is written: storages and streams are added,
// the layout is computed once, and the file is then produced front to back in pieces, without
// a seek, so that it goes to a buffer or straight to a file alike. The same entries added in
// the same order give the same bytes.

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "store/model.h"

namespace quill::store::msg {

class CompoundFile {
  public:
    using EntryId = uint32_t;
    using ClassId = std::array<uint8_t, 16>;
    static constexpr EntryId kRoot = 0;
    // Streams of this size or more go to sectors of their own; smaller ones to the mini stream.
    static constexpr uint64_t kMiniStreamCutoff = 4096;
    static constexpr uint64_t kSectorSize = 512;
    // The largest piece of a stream handed to the sink at once.
    static constexpr size_t kPieceSize = size_t(1) << 20;

    // Receives the file front to back. A failure is thrown; the file is then unfinished.
    class Sink {
      public:
        virtual ~Sink() = default;
        // Bytes valid only during the call (the header and the tables).
        virtual void write(const uint8_t* data, size_t size) = 0;
        // Bytes that stay where they are until the file is written (the streams' contents and
        // the padding): a sink may keep the address instead of a copy.
        virtual void writeLasting(const uint8_t* data, size_t size) { write(data, size); }
    };

    CompoundFile();

    // Names are ASCII, 1 to 31 characters, without '/', '\', ':' or '!', unique within their
    // storage: the .msg names are. Anything else is a fault of the caller (std::logic_error).
    EntryId addStorage(EntryId parent, std::string_view name, const ClassId& clsid = {});
    void setClassId(EntryId storage, const ClassId& clsid);
    // A stream under the cutoff is copied into the mini stream at once; a larger one is
    // written from `data`, which must stay unchanged until the file is written.
    void addStream(EntryId parent, std::string_view name, const uint8_t* data, uint64_t size);
    // The same, the compound file keeping the bytes.
    void addStream(EntryId parent, std::string_view name, Bytes data);
    void addStream(EntryId parent, std::string_view name, std::unique_ptr<uint8_t[]> data,
                   uint64_t size);

    // Size of the whole file in bytes; fixes the layout (nothing can be added afterwards).
    uint64_t fileSize();
    // Writes the whole file to `sink`, in pieces of at most kPieceSize bytes.
    void writeTo(Sink& sink);

  private:
    struct Entry {
        std::array<char, 32> name{};  // ASCII (one UTF-16 unit each), NUL-terminated
        std::array<char, 32> key{};   // the name upper-cased, as the sibling order compares it
        uint16_t nameUnits = 0;       // without the NUL
        uint8_t type = 0;             // 1 storage, 2 stream, 5 root
        uint8_t colour = 1;           // 0 red, 1 black
        uint32_t parent = 0;
        uint32_t left, right, child;
        ClassId clsid{};
        uint32_t start;
        uint64_t size = 0;
        const uint8_t* data = nullptr;  // streams in sectors of their own
    };
    // A run of consecutive sectors chained in order, for the FAT.
    struct Run {
        uint32_t start = 0;
        uint32_t count = 0;
    };

    EntryId addEntry(EntryId parent, std::string_view name, uint8_t type);
    void layOut();
    EntryId buildTree(const std::vector<EntryId>& sorted, size_t lo, size_t hi, int depth,
                      int redDepth);
    void writeHeader(Sink& sink) const;
    void writeDirectory(Sink& sink) const;
    void writeFat(Sink& sink) const;
    void writeDifat(Sink& sink) const;

    std::vector<Entry> entries_;
    std::vector<EntryId> largeStreams_;  // in the order they were added
    std::vector<Bytes> kept_;            // large streams the file owns
    std::vector<std::unique_ptr<uint8_t[]>> keptBuffers_;
    Bytes mini_;  // the mini stream, whole mini sectors
    std::vector<uint32_t> miniFat_;
    bool laidOut_ = false;

    // The layout, in sectors: stream data, mini stream, mini FAT, directory, FAT, DIFAT.
    std::vector<Run> runs_;  // every chain of the FAT, by start sector
    uint32_t miniStreamStart_ = 0, miniStreamSectors_ = 0;
    uint32_t miniFatStart_ = 0, miniFatSectors_ = 0;
    uint32_t directoryStart_ = 0, directorySectors_ = 0;
    uint32_t fatStart_ = 0, fatSectors_ = 0;
    uint32_t difatStart_ = 0, difatSectors_ = 0;
    uint64_t sectors_ = 0;
};

}  // namespace quill::store::msg
