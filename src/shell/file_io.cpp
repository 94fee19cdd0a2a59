#include "shell/file_io.h"

#include <sys/types.h>
#include <unistd.h>
#include <cerrno>

namespace quill {

namespace {

// Calls `step(done)` until `size` bytes are moved, it returns 0, or it fails with other than
// EINTR. `emptyError` is the error of a call that moved nothing.
template <typename Step>
IoResult Loop(size_t size, int emptyError, Step step) {
    IoResult r;
    while (r.done < size) {
        ssize_t n = step(r.done);
        if (n < 0) {
            if (errno == EINTR) continue;
            r.error = errno;
            break;
        }
        if (n == 0) {
            r.error = emptyError;
            break;
        }
        r.done += static_cast<size_t>(n);
    }
    return r;
}

}  // namespace

IoResult WriteAll(int fd, const void* data, size_t size) {
    auto* bytes = static_cast<const char*>(data);
    return Loop(size, ENOSPC, [&](size_t done) { return ::write(fd, bytes + done, size - done); });
}

IoResult PwriteAll(int fd, const void* data, size_t size, uint64_t offset) {
    auto* bytes = static_cast<const char*>(data);
    return Loop(size, ENOSPC, [&](size_t done) {
        return ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
    });
}

IoResult PreadAll(int fd, void* data, size_t size, uint64_t offset) {
    auto* bytes = static_cast<char*>(data);
    return Loop(size, 0, [&](size_t done) {
        return ::pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
    });
}

}  // namespace quill
