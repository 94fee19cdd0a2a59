#include "store/pst/ndb/ndb_error.h"

#include <cstdio>
#include <cstring>

namespace quill::store::pst::ndb {

namespace {

std::string Describe(const std::string& what, const std::filesystem::path& file, uint64_t offset,
                     int sysErrno) {
    std::string text = what;
    if (!file.empty()) text += " (file \"" + file.string() + "\"";
    if (offset != NdbError::kNoOffset) {
        char buf[40];
        std::snprintf(buf, sizeof buf, ", offset 0x%llX", static_cast<unsigned long long>(offset));
        text += file.empty() ? std::string(" (") + (buf + 2) : std::string(buf);
    }
    if (!file.empty() || offset != NdbError::kNoOffset) text += ")";
    if (sysErrno != 0) text += ": " + std::string(std::strerror(sysErrno));
    return text;
}

}  // namespace

NdbError::NdbError(NdbErrorKind kind, std::string what, std::filesystem::path file, uint64_t offset,
                   int sysErrno)
    : std::runtime_error(Describe(what, file, offset, sysErrno)),
      kind_(kind),
      file_(std::move(file)),
      offset_(offset),
      errno_(sysErrno) {}

}  // namespace quill::store::pst::ndb
