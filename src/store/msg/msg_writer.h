#pragma once
// Writes one message of the model as an Outlook .msg file ([MS-OXMSG], Unicode form): a
// compound file of our own (cfb_writer.h) with the property streams, value streams, recipient
// and attachment storages, embedded messages as nested storages, the named-property map and a
// store-support mask that declares Unicode strings.
//
// The whole file is laid out before it is made, so a message the format cannot hold is
// refused before anything is written. The file appears under its final name only when it is
// complete: it is written unnamed in its folder (O_TMPFILE) and linked under its name at the
// end, or, where the file system cannot, under a temporary name that is then renamed; on
// failure the partial file goes and a file already under the final name is left as it was. A file
// of at most 256 KiB is copied into one buffer and reaches the disk in one write(); one under
// store::kInMemoryLimit in one writev() straight from the message's buffers; a larger one in pieces
// of about a MiB, its large streams straight from the message's buffers, so that a large attachment
// is never copied whole.

#include <filesystem>
#include <string>

#include "shell/frontend.h"
#include "store/model.h"

namespace quill::store::msg {

struct MsgWriteOptions {
    // Flush the file to the disk (fsync) before it takes its final name, so that it is whole
    // even after a power cut. Costs a disk round trip per file.
    bool syncToDisk = false;
    // Given a clock, the writer calls maybeYield() between blocks of work (about every MiB
    // of data) so that the front end stays responsive while a large message is written. When
    // the front end asks to stop, the write ends, the partial file is removed and the result
    // says `cancelled`.
    YieldClock* yieldClock = nullptr;
};

struct MsgWriteResult {
    // Empty on success; otherwise one sentence for the user: what failed, on which file, at
    // which offset where there is one, and the system's reason.
    std::string error;
    // errno of the system call that failed; 0 when the message itself cannot be written
    // (too large, too many attachments).
    int systemError = 0;
    // The front end asked to stop (see MsgWriteOptions::yieldClock); nothing was written.
    bool cancelled = false;

    bool ok() const { return error.empty(); }
    explicit operator bool() const { return ok(); }
};

// Writes `message` to `path` (normally "Email-<k>.msg"), replacing a file of that name.
// Empty string properties are left out ([MS-OXMSG] forbids empty PtypString streams).
// The writer adds what only a .msg needs: PidTagStoreSupportMask with STORE_UNICODE_OK,
// PidTagMessageClass "IPM.Note" when the model has none, PidTagAttachMethod matching the
// attachment's content, and the named-property map. Thread-safe for different paths.
[[nodiscard]] MsgWriteResult WriteMsgFile(const Message& message, const std::filesystem::path& path,
                                          const MsgWriteOptions& options = {});
// The same, written into a file of the caller's instead of one the writer makes: `fd`, open
// for writing, of the file `file` in the same folder as `path`, which nothing else uses. The
// .msg is written from the file's start over what it held (a longer old content is cut off)
// and the file renamed to `path`. `fd` is closed in every case; `file` is removed when the
// write fails once begun, and left as it was when the message is refused before. For a caller
// with a file to spare there: creating one file and deleting another cost more than a message.
[[nodiscard]] MsgWriteResult WriteMsgFile(const Message& message, const std::filesystem::path& path,
                                          int fd, const std::filesystem::path& file,
                                          const MsgWriteOptions& options = {});

}  // namespace quill::store::msg
