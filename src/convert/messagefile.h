#pragma once
// Message files: every message of a mailbox cut out and written as "Email-<k>.eml" (or
// ".emlx", the same content) in the mailbox's output folder, numbered from 0 in file order.
//
// Message k is exactly the bytes from its separator offset up to the next separator's (the
// last one up to the end of the file), its line ends written as CR LF, as MessageText
// describes; a message that reaches past the end of the file is a failure, not a short file.
// Messages are copied in bounded blocks, so a message of any size or a line of any length costs
// a few MiB of memory; only a store run has messages of up to store::kInMemoryLimit held whole
// (HandOver::HeldInMemory).
//
// A file is written under a temporary name in the same folder ("Email-3.eml.part") and
// renamed when complete, so a file under its final name is always whole; a file of the same
// name from an earlier run is replaced. Failures come back as values saying what failed, on
// which file, at which offset, and the system's reason; nothing is thrown and nothing is
// shown, so the caller decides whether to tell the user, record it, or go on.
//
// Progress goes to LblProgress ("Saving: ... Bytes out of ... Total Bytes.", "Saved Email-k
// Message") on the yield budget, and the final caption always. Qt-free.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "shell/frontend.h"
#include "store/limits.h"

namespace quill {

struct MessageFileError {
    uint64_t message = 0;  // index k of the message that could not be written
    int code = 0;          // the system's error number, 0 when the failure is not the system's
    std::string text;      // what failed, on which file, at which offset, and why
};

struct MessageFileResult {
    bool ok = false;
    std::string path;        // the message file's final path, also when it failed
    MessageFileError error;  // when !ok
    bool cancelled = false;  // the user asked the program to end; nothing was left behind
    explicit operator bool() const { return ok; }
};

// outputFolder + separator + "Email-" + k + extension (no second separator after a root).
std::string MessageFilePath(const std::string& outputFolder, uint64_t k,
                            const std::string& extension);

// The temporary name a message file is written under until it is complete. A plain file
// found there with no other name (left by an interrupted run) is written over.
std::string MessageFilePartPath(const std::string& messageFilePath);

// Cuts message k of the mailbox (positions: separator offsets in increasing order, as the
// reader found them) and writes its file; opens and closes the mailbox for this one message.
MessageFileResult WriteMessageFile(YieldClock& clock, const std::string& mailboxPath,
                                   const std::vector<uint64_t>& positions, uint64_t k,
                                   const std::string& outputFolder, const std::string& extension);

// The whole content of a message file just written, when the cut still holds it.
using MessageBytes = std::shared_ptr<const std::string>;

// Called when message file k is complete under its final path, or its temporary one when
// handed over (for PST and MSG output, to import it and dispose of it). Returning false stops
// the cut after this message. `bytes`, when not null, is exactly what the file holds (or
// would hold, for a message held in memory and not written): a handed-over message small
// enough to be written in one piece comes with it, which spares the reader reading back what
// was just written.
using MessageFileDone =
    std::function<bool(uint64_t k, const std::string& path, const MessageBytes& bytes)>;

struct MailboxCutResult {
    uint64_t written = 0;                   // messages 0 .. written-1 have their files
    std::optional<MessageFileError> error;  // why the cut stopped before the last message
    bool cancelled = false;                 // stopped because the program is ending
    bool stoppedByCaller = false;           // stopped because done returned false
    bool ok() const { return !error && !cancelled && !stoppedByCaller; }
};

// How the cut hands each complete message to its caller.
enum class HandOver {
    // Each file is renamed to its final name before `done` sees it (message files as output).
    FinalName,
    // Each file is handed over under its temporary name, for a caller that only reads it and
    // then disposes of it (a store run), which spares a rename per message; it then owns it.
    Temporary,
    // As Temporary, except that a message small enough to be held whole in memory (up to
    // store::kInMemoryLimit in the mailbox) is not written at all: `done` gets its bytes and
    // the temporary path, where no file is. For a caller that needs the file only when it
    // cannot take the message, and then writes it.
    HeldInMemory,
};

// The bytes of the mailbox at an offset, up to the end of a block that holds them, from
// someone who has read them already; empty when not at hand.
using RecentBytes = std::function<std::span<const char>(uint64_t offset)>;

// Cuts and writes the messages of one mailbox in order, opening it once and reading it from
// start to end, and can begin while its separators are still being found: a message can be
// cut as soon as the separator after it is known. Stops at the first failure; the messages
// before it are written.
class MailboxCut {
  public:
    MailboxCut(YieldClock& clock, std::string mailboxPath, std::string outputFolder,
               std::string extension, MessageFileDone done = {},
               HandOver handOver = HandOver::FinalName);
    ~MailboxCut();
    MailboxCut(const MailboxCut&) = delete;
    MailboxCut& operator=(const MailboxCut&) = delete;

    // Cuts every message not cut yet that ends before the last separator in `positions`
    // (the separators found so far, in increasing order). False once the cut has stopped.
    // `recent`, if given, lends bytes of the mailbox the search has just read, which are then
    // not read again; they are not used after this call.
    bool cutFound(const std::vector<uint64_t>& positions, const RecentBytes& recent = {});
    // All separators are found: cuts the rest, the last message up to searchedSize when it is
    // known (not 0), the mailbox's length when its separators were found, so that a mailbox
    // that has since become shorter fails instead of giving a short last message.
    const MailboxCutResult& cutRest(const std::vector<uint64_t>& positions,
                                    uint64_t searchedSize = 0);
    const MailboxCutResult& result() const { return result_; }
    bool stopped() const { return stopped_; }

  private:
    bool cutUpTo(const std::vector<uint64_t>& positions, uint64_t end, bool all);

    struct Cutter;
    std::unique_ptr<Cutter> cutter_;
    YieldClock& clock_;
    std::string outputFolder_;
    std::string extension_;
    MessageFileDone done_;
    MailboxCutResult result_;
    bool stopped_ = false;
};

// Cuts and writes every message of the mailbox in one pass (a MailboxCut over positions found
// beforehand): the fast way for a whole mailbox.
MailboxCutResult WriteMessageFiles(YieldClock& clock, const std::string& mailboxPath,
                                   const std::vector<uint64_t>& positions,
                                   const std::string& outputFolder, const std::string& extension,
                                   const MessageFileDone& done = {}, uint64_t searchedSize = 0,
                                   HandOver handOver = HandOver::FinalName);

}  // namespace quill
