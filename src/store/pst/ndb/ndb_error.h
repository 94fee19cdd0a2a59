#pragma once
// The one error type of the node database: what failed, on which file, at which offset,
// and the system's reason, so the run can tell the user why a store could not be written.

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace quill::store::pst::ndb {

enum class NdbErrorKind {
    Io,               // the system refused a read, write, sync or size change
    NoSpace,          // the disk is full (ENOSPC, EDQUOT): the last commit stays readable
    CannotCreate,     // the file could not be created (exists, no permission, no folder...)
    InvalidArgument,  // a caller's mistake: bad NID, unknown node, too many subnodes...
    TooLarge,         // a stream or a file past what the format can hold
    Closed,           // used after close() or after an earlier failure
    Corrupt,          // a structure read back from the file is not what was written
};

class NdbError : public std::runtime_error {
  public:
    static constexpr uint64_t kNoOffset = ~uint64_t(0);

    NdbError(NdbErrorKind kind, std::string what, std::filesystem::path file,
             uint64_t offset = kNoOffset, int sysErrno = 0);

    NdbErrorKind kind() const { return kind_; }
    const std::filesystem::path& file() const { return file_; }
    uint64_t offset() const { return offset_; }  // kNoOffset when not about a place
    int sysErrno() const { return errno_; }      // 0 when the system did not fail

  private:
    NdbErrorKind kind_;
    std::filesystem::path file_;
    uint64_t offset_;
    int errno_;
};

}  // namespace quill::store::pst::ndb
