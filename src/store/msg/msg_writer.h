#pragma once
// Writes one message of the model as an Outlook .msg file ([MS-OXMSG], Unicode form): a
// compound file of our own (cfb_writer.h) with the property streams, value streams, recipient
// and attachment storages, embedded messages as nested storages, the named-property map and a
// store-support mask that declares Unicode strings.
//
// The whole file is laid out before it is made, so a message the format cannot hold is
// refused before anything is written. The file appears under its final name only when it is
// complete: it is written under a temporary name in the same folder and renamed at the end; on
// failure the partial file is removed and a file already under the final name is left as it
// was. A file of at most 256 KiB is copied into one buffer and reaches the disk in one
// write(); one under store::kInMemoryLimit in one writev() straight from the message's
// buffers; a larger one in pieces of about a MiB, its large streams straight from the
// message's buffers, so that a large attachment is never copied whole.

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
    // A file of the caller's in the same folder that it no longer needs (the intermediate
    // message file the message was read from). The writer moves it to its temporary name and
    // writes the .msg over it instead of creating a file, which spares creating one file and
    // deleting another per message. Only a plain file with one name is taken; the result
    // says whether it was (it is then gone, whether or not the write succeeded).
    std::filesystem::path spentFile;
    // spentFile already lies under a temporary name of the caller's that nothing else uses:
    // it is written over where it is, without a move to a name of the writer's first.
    bool spentFileIsTemporary = false;
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
    // MsgWriteOptions::spentFile was taken over and no longer exists under its name.
    bool spentFileConsumed = false;

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

}  // namespace quill::store::msg
