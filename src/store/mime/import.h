#pragma once
// The import of one Internet message (RFC 5322 and MIME) into an Outlook message of the
// message model, the way a mail client imports one ([MS-OXCMAIL] 2.2.3, "MIME readers").
//
// Input: a message file as the conversion run writes it: an mbox "From " line first (skipped;
// optional), then the message. Output: the Message with its properties, recipient rows and
// attachments (embedded messages converted recursively), plus the per-message problems found
// on the way. A malformed message is still converted as far as it goes; only a file that
// cannot be read is an error.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "shell/frontend.h"
#include "store/model.h"

namespace quill::store::mime {

struct ImportOptions {
    // Stamped on PidTagCreationTime and PidTagLastModificationTime (and used as the sent time
    // of a message without any date). The clock when unset.
    std::optional<FileTime> now;
    // Given, the import lets the front end breathe while it decodes large parts (once per
    // block of data read, on the clock's time budget).
    YieldClock* yield = nullptr;
};

struct ImportResult {
    Message message;
    // Per-message problems, each a sentence saying what and where (byte offset in the
    // input where known): broken MIME structure, undecodable text, unknown charset...
    std::vector<std::string> warnings;
    // Deleted in the mail program that kept the mailbox, which keeps such a message in the
    // file until it compacts it and never shows it again (Thunderbird's expunged bit).
    bool expunged = false;
};

// The message file could not be read. what() reads like
// "cannot read message file /out/Email-3.eml: Permission denied".
class ImportError : public std::runtime_error {
  public:
    ImportError(std::filesystem::path file, std::string reason);
    const std::filesystem::path& file() const { return file_; }
    const std::string& reason() const { return reason_; }  // the system's reason

  private:
    std::filesystem::path file_;
    std::string reason_;
};

// Reads the message from a file, without loading it into memory: attachment data is decoded
// straight from the file into Attachment::data. Throws ImportError when the file cannot be
// opened or read.
ImportResult ImportMessageFile(const std::filesystem::path& file,
                               const ImportOptions& options = {});

// The same import from bytes in memory (used by the fuzzer and for nested messages). Never
// throws for any content.
ImportResult ImportMessageBuffer(std::span<const uint8_t> bytes, const ImportOptions& options = {});

}  // namespace quill::store::mime
