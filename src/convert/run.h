#pragma once
// The conversion run behind the Convert button, written once for every front end: the
// window, the command-line converter and the tests drive the same code through RunHost.
//
// The run converts every listed mailbox in list order: the reader finds the separators and
// the messages are cut. EML and EMLX runs write them as message files into the mailbox's
// output folder (the chosen folder followed by the mailbox path without its root); PST and
// MSG runs hand each message to the store output, most of them as the bytes the cut holds in
// memory, a larger one as a message file that the store disposes of. Progress goes to the window's
// captions and bars; the end is reported in one message box. A mailbox that cannot be read or
// written is recorded with its reason and the run goes on with the next one; a full disk stops the
// run. Qt-free.

#include <cstdint>
#include <string>
#include <vector>

#include "convert/output_kind.h"
#include "convert/store_output.h"
#include "shell/frontend.h"

namespace quill {

// What the run needs from its front end beyond Frontend: the Convert button and the options.
class RunHost : public Frontend {
  public:
    virtual void setConvertEnabled(bool enabled) = 0;
    virtual void clearOutputOptions() = 0;
    // Makes row i the list's current row while mailbox i is converted.
    virtual void selectRow(size_t i) {}
    // How many mailboxes the end box names before it only counts the rest: a box taller
    // than the screen would hide its OK button. A terminal lists every one.
    virtual size_t namesInEndBox() const { return kNamesInEndBox; }
    static constexpr size_t kNamesInEndBox = 20;
};

struct RunSettings {
    // Makes the PST and MSG outputs; empty or giving nothing: those kinds fail clearly.
    StoreOutputFactory storeOutputs;
    // Where the manual's troubleshooting section is, for the store failure message.
    std::string troubleshootingAddress;
    // The store folder of each row, when the front end names them (a run that keeps folder
    // trees): one path per row, unique within the run. Empty: each mailbox gets a folder at
    // the top of the store, named by StoreFolderName and made unique by the run.
    std::vector<StoreFolderPath> storeFolders;
};

struct MailboxFailure {
    std::string mailbox;
    std::string reason;
};

struct RunSummary {
    bool started = false;  // false: refused (no option, no folder chosen, empty list)
    OutputKind kind = OutputKind::None;
    std::string outputFolder;   // as chosen, with a separator at its end
    uint64_t mailboxes = 0;     // mailboxes in the run
    uint64_t converted = 0;     // mailboxes whose every message was written
    uint64_t messages = 0;      // message files (or stored messages) written
    uint64_t deletedItems = 0;  // of the stored messages, those put into Deleted Items
    std::vector<MailboxFailure> failures;
    // Listed files in which no message was found (empty, or no mailbox): not converted.
    std::vector<std::string> noMessages;
    bool stoppedNoSpace = false;  // the output disk is full: the run stopped there
    std::string storeFailure;     // the PST/MSG store failed: the run ended there
    bool cancelled = false;       // the user closed the window during the run
};

// CmdConvert_Click: checks the option, asks for the output folder and converts `rows`, the
// list as it was when Convert was pressed (an empty list is no rows, or one empty row).
RunSummary RunConversion(RunHost& host, OutputKind kind, const std::vector<std::string>& rows,
                         const RunSettings& settings = {});

// The mailbox output folder: the output folder (ending in a separator) followed by the
// mailbox path without its root, so the folder tree of the mailbox is kept below it.
std::string MailboxOutputFolder(const std::string& outputFolder, const std::string& mailboxPath);

// The store folder's name for a mailbox: its file name without blanks at both ends and
// without ".mbox" and ".MBOX"; the "mbox" file of a bundle folder is named after the bundle.
std::string StoreFolderName(const std::string& mailboxPath);

// The end-box texts. FailureText names at most `names` mailboxes and counts the rest;
// NoMessageText is the success text followed by the files in which no message was found.
std::string SuccessText(OutputKind kind);
std::string FailureText(const RunSummary& summary, size_t names = SIZE_MAX);
std::string NoMessageText(const RunSummary& summary, size_t names = SIZE_MAX);
std::string StoreFailureText(const std::string& cause, const std::string& troubleshootingAddress);
// The line the end box adds when messages went to Deleted Items (empty when none did).
std::string DeletedItemsText(const RunSummary& summary);

inline constexpr const char* kStoreFailureTitle = "Outlook Error";

}  // namespace quill
