#pragma once
// Whole reads and writes on file descriptors: the loops around read(2) and write(2) that
// retry after a signal (EINTR) and go on after a short transfer. Qt-free.

#include <cstddef>
#include <cstdint>

namespace quill {

// What a whole transfer did: `done` bytes moved before it ended; `error` is 0 when it ended
// normally (all bytes, or for a read the end of the file), else the errno of the failed call.
// A write that moves nothing ends with ENOSPC.
struct IoResult {
    size_t done = 0;
    int error = 0;
};

// Writes all `size` bytes at the descriptor's position.
IoResult WriteAll(int fd, const void* data, size_t size);
// Writes all `size` bytes at `offset`.
IoResult PwriteAll(int fd, const void* data, size_t size, uint64_t offset);
// Reads `size` bytes at `offset`, fewer only at the end of the file.
IoResult PreadAll(int fd, void* data, size_t size, uint64_t offset);

}  // namespace quill
