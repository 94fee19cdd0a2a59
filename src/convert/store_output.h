#pragma once
// Where a PST or MSG run puts each message once it is cut: a store that is opened at the
// start of the run, gets a folder per mailbox, takes every message (held in memory, or as a
// message file that it disposes of), is committed after each mailbox and closed at the end.
// Qt-free.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "convert/messagefile.h"
#include "convert/output_kind.h"
#include "shell/frontend.h"

namespace quill {

// A folder of the store, by the names of the folders from the top of the store down to it.
using StoreFolderPath = std::vector<std::string>;

// The cause of a failure, in words for the user: what failed, on which file, and why.
using StoreError = std::optional<std::string>;

class StoreOutput {
  public:
    virtual ~StoreOutput() = default;

    // Before open(): the run's clock, on which a store that works long on one message (a
    // large attachment) lets the window breathe. It outlives the store output.
    virtual void setYieldClock(YieldClock* clock) {}
    // Start of the run; outputFolder ends in a separator.
    virtual StoreError open(const std::string& outputFolder) = 0;
    // Once per mailbox, before its messages: its store folder as the run formed it (unique
    // within the run), given by the folders from the top of the store down to its own, which
    // the store makes where they are missing; and the mailbox output folder.
    virtual StoreError beginMailbox(const StoreFolderPath& storeFolder,
                                    const std::string& mailboxOutputFolder) = 0;
    // How the cut is to hand messages over: as files under their temporary names, or, for a
    // store that needs a message's file only when it cannot take the message, held in memory.
    virtual HandOver handOver() const { return HandOver::Temporary; }
    // Message k of the current mailbox, written complete at messageFile (under its temporary
    // name). The file is the store's from now on: it disposes of it once it has what it needs.
    // `bytes`, when not null, is what the file holds, to be read instead of the file; with
    // HandOver::HeldInMemory there is then no file, and messageFile is where it would go.
    virtual StoreError storeMessage(uint64_t k, const std::string& messageFile,
                                    const MessageBytes& bytes) = 0;
    // After the last message of a mailbox (a store may commit here).
    virtual StoreError endMailbox() { return std::nullopt; }
    // End of the run.
    virtual StoreError close() = 0;
    // How many of the messages stored went to the store's Deleted Items folder: those their
    // mail program had deleted but still kept in the mailbox. After close().
    virtual uint64_t deletedItems() const { return 0; }
    // The run ends early (a failure, or the user closing the window): keep what is
    // committed, release the rest.
    virtual void abandon() {}
};

// Makes the store output of a kind, or nothing when this build cannot write that kind.
using StoreOutputFactory = std::function<std::unique_ptr<StoreOutput>(OutputKind)>;

}  // namespace quill
