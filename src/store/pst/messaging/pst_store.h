#pragma once
// A new Unicode personal-folders file (.pst): the message store with its fixed folders, the
// folders added under its top folder, and the messages added to them.
//
// Folder tables are kept in memory and written at commit, so that a folder of tens of thousands
// of messages is written once per commit, not once per message. Every commit writes the file
// header last; a failure leaves the last committed state readable and makes the store refuse
// further work.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "store/model.h"
#include "store/pst/ltp/table_context.h"
#include "store/pst/messaging/message_writer.h"
#include "store/pst/messaging/name_map.h"
#include "store/pst/messaging/node_sink.h"
#include "store/pst/messaging/pst_error.h"

namespace quill::store::pst::messaging {

// A folder of this store, as handed out by addFolder().
struct FolderId {
    Nid nid = 0;
    bool operator==(const FolderId&) const = default;
};

// Node ids of the store's fixed objects ([MS-PST] 2.4.1).
inline constexpr Nid NID_MESSAGE_STORE = 0x21;
inline constexpr Nid NID_NAME_TO_ID_MAP = 0x61;
inline constexpr Nid NID_ROOT_FOLDER = 0x122;
inline constexpr Nid NID_SEARCH_MANAGEMENT_QUEUE = 0x1E1;
inline constexpr Nid NID_SEARCH_ACTIVITY_LIST = 0x201;
inline constexpr Nid NID_SEARCH_DOMAIN_OBJECT = 0x261;
inline constexpr Nid NID_HIERARCHY_TABLE_TEMPLATE = 0x60D;
inline constexpr Nid NID_CONTENTS_TABLE_TEMPLATE = 0x60E;
inline constexpr Nid NID_ASSOC_CONTENTS_TABLE_TEMPLATE = 0x60F;
inline constexpr Nid NID_SEARCH_CONTENTS_TABLE_TEMPLATE = 0x610;
inline constexpr Nid NID_ATTACHMENT_TABLE = 0x671;
inline constexpr Nid NID_RECIPIENT_TABLE = 0x692;
// Folders Outlook creates in every store ([MS-PST] 2.7.3).
inline constexpr Nid kTopOfPersonalFolders = 0x8022;
inline constexpr Nid kSearchRoot = 0x8042;
inline constexpr Nid kDeletedItems = 0x8062;
inline constexpr Nid kSpamSearchFolder = 0x2223;

// The top of the personal folders, where a user's folders begin.
inline constexpr FolderId kTopFolder{kTopOfPersonalFolders};

class PstStore {
  public:
    // Creates the file (replacing none: an existing file is an error) with the store's fixed
    // objects under `displayName`, and commits it, so that even an empty store is a valid file.
    // Throws PstError(Kind::Write) naming the file and the system's reason.
    static std::unique_ptr<PstStore> create(const std::filesystem::path& path,
                                            const std::string& displayName);
    // The same on any node sink, with a given record key (the store's provider UID).
    static std::unique_ptr<PstStore> createOn(std::unique_ptr<NodeSink> sink,
                                              const std::string& displayName,
                                              const Guid& recordKey);
    ~PstStore();  // closes the store when close() was not called; errors are lost then

    PstStore(const PstStore&) = delete;
    PstStore& operator=(const PstStore&) = delete;

    // A new folder under `parent` (a folder added before, or the top of the personal
    // folders), after the ones added there before. Names need not be unique (the caller
    // decides); an empty name is refused, and so is a parent that is no folder of the user's.
    FolderId addFolder(const std::string& name, FolderId parent = kTopFolder);

    // Stores the message in the folder, read or unread as its message flags say; it is in
    // the file from the next commit on. Throws PstError: NoSuchFolder; BadMessage when the
    // message cannot be stored (nothing was written, the store goes on); Write when the file
    // could not be written (the store then refuses further work); Closed.
    void addMessage(FolderId folder, const Message& message);

    // addMessage() in two steps, so that the building of a message's node can run on other
    // threads while this one writes: prepareMessage() touches nothing but the named-property
    // map (which it locks) and may run on any thread, also while the store's own thread adds
    // messages; addPrepared() is addMessage() for its result. The prepared message refers to
    // the message's large values, so the message must live, unmoved, until it is added.
    // prepareMessage() throws PstError(Kind::BadMessage) as addMessage() does.
    BuiltMessage prepareMessage(const Message& message) const;
    void addPrepared(FolderId folder, const BuiltMessage& prepared);

    // Declares that the folder gets no more messages: its contents table is written at the
    // next commit and then no longer held in memory, so that a run over many mailboxes needs
    // memory for one mailbox's table at a time. Later addMessage() calls for it throw
    // PstError(Kind::FolderFinished).
    void finishFolder(FolderId folder);

    // Called every few kilobytes while a message is written (and every few megabytes while
    // the size of a long body is counted), so that a front end can stay responsive during a
    // message with a large attachment or body.
    void setBreather(std::function<void()> breather);

    // Writes every changed folder, table and the named-property map, then the header.
    void commit();
    // Commits and closes the file. Further calls throw PstError(Kind::Closed).
    void close();

    const std::string& displayName() const { return displayName_; }
    const Guid& recordKey() const { return recordKey_; }

  private:
    struct Folder {
        Nid nid = 0;
        Nid parent = 0;
        std::string name;
        std::string containerClass;
        // Writes PidTagPstHiddenCount/Unread, as Outlook does for the folders a user adds.
        bool hiddenCounts = false;
        int32_t contentCount = 0;
        int32_t unreadCount = 0;
        size_t subfolderCount = 0;
        ltp::TableContext hierarchy;
        ltp::TableContext contents;
        ltp::TableContext assoc;
        bool pcDirty = true, hierarchyDirty = true, contentsDirty = true, assocDirty = true;
        bool finished = false;  // no more messages; contents released after the next commit
        Folder();
    };

    PstStore(std::unique_ptr<NodeSink> sink, const std::string& displayName, const Guid& recordKey);
    void writeSkeleton();
    Folder& newFolder(Nid nid, Nid parent, const std::string& name, const std::string& cls,
                      bool hiddenCounts);
    std::vector<ltp::Property> folderProperties(const Folder& folder) const;
    Bytes entryId(Nid nid) const;
    void put(Nid nid, Nid parent, const NodeContent& content);
    void checkOpen() const;
    Folder& folderForMessages(FolderId id);

    std::unique_ptr<NodeSink> sink_;
    std::string displayName_;
    Guid recordKey_;
    std::map<Nid, Folder> folders_;
    mutable NameIdMap nameMap_;  // locks itself: prepareMessage() may add names from any thread
    std::function<void()> breather_;
    uint32_t nextFolderIndex_ = 0x404;     // 0x8082: after the three folders Outlook creates
    uint32_t nextMessageIndex_ = 0x10001;  // 0x200024, as in Outlook's files
    bool closed_ = false;
    bool failed_ = false;
};

}  // namespace quill::store::pst::messaging
