#include "store/pst/messaging/pst_store.h"

#include <random>

#include "store/pst/ltp/ltp.h"
#include "store/pst/messaging/message_writer.h"
#include "store/pst/messaging/templates.h"
#include "store/pst/ndb/ndb.h"
#include "store/pst/pst_base.h"

namespace quill::store::pst::messaging {

using namespace ltp;

namespace {

constexpr int32_t kValidFolderMask = 0x89;  // IPM subtree, wastebasket and finder valid
const char* const kTopFolderName = "Top of Personal Folders";

TableContext EmptyTable(std::span<const PropTag> columns) {
    return TableContext(TableLayout::FromTags(columns));
}

Guid RandomGuid() {
    std::random_device device;
    Guid guid;
    for (size_t i = 0; i < guid.size(); i += 4) {
        uint32_t r = device();
        for (size_t k = 0; k < 4; ++k) guid[i + k] = static_cast<uint8_t>(r >> (8 * k));
    }
    return guid;
}

// Runs a step that writes to the file; any failure below becomes a PstError that keeps the
// cause's text (file, offset, system reason) and leaves the store refusing further work.
template <typename F>
void Guarded(bool& failed, const char* what, F&& step) {
    try {
        step();
    } catch (const PstError&) {
        failed = true;
        throw;
    } catch (const LtpError& e) {
        failed = true;
        throw PstError(PstError::Kind::Format, std::string(what) + ": " + e.what());
    } catch (const std::exception& e) {
        failed = true;
        throw PstError(PstError::Kind::Write, std::string(what) + ": " + e.what());
    }
}

// The node database of a new file as the store's node sink; its errors (which carry the file,
// the offset and the system's reason) become PstError::Kind::Write.
class NdbSink : public NodeSink {
  public:
    explicit NdbSink(std::unique_ptr<ndb::NdbWriter> writer) : writer_(std::move(writer)) {}
    void putNode(Nid nid, Nid parentNid, const NodeContent& content) override {
        writer_->putNode(nid, parentNid, content);
    }
    void commit() override { writer_->commit(); }
    void setBreather(std::function<void()> breather) override {
        writer_->setBreather(std::move(breather));
    }
    void close() override { writer_->close(); }

  private:
    std::unique_ptr<ndb::NdbWriter> writer_;
};

}  // namespace

std::unique_ptr<PstStore> PstStore::create(const std::filesystem::path& path,
                                           const std::string& displayName) {
    std::unique_ptr<ndb::NdbWriter> writer;
    try {
        writer = ndb::NdbWriter::create(path);
    } catch (const std::exception& e) {
        throw PstError(PstError::Kind::Write, std::string("creating the store: ") + e.what());
    }
    return createOn(std::make_unique<NdbSink>(std::move(writer)), displayName, RandomGuid());
}

PstStore::Folder::Folder()
    : hierarchy(EmptyTable(HierarchyTableColumns())),
      contents(EmptyTable(ContentsTableColumns())),
      assoc(EmptyTable(AssocContentsTableColumns())) {}

PstStore::PstStore(std::unique_ptr<NodeSink> sink, const std::string& displayName,
                   const Guid& recordKey)
    : sink_(std::move(sink)), displayName_(displayName), recordKey_(recordKey) {}

PstStore::~PstStore() {
    if (!closed_ && !failed_) {
        try {
            close();
        } catch (...) {
        }
    }
}

std::unique_ptr<PstStore> PstStore::createOn(std::unique_ptr<NodeSink> sink,
                                             const std::string& displayName,
                                             const Guid& recordKey) {
    std::unique_ptr<PstStore> store(new PstStore(std::move(sink), displayName, recordKey));
    Guarded(store->failed_, "creating the store", [&] {
        store->writeSkeleton();
        store->commit();
    });
    return store;
}

Bytes PstStore::entryId(Nid nid) const {
    // [MS-PST] 2.4.3.2: rgbFlags (4 bytes of 0), uid = the store's record key, nid.
    Bytes id;
    AppendU32(id, 0);  // rgbFlags
    id.insert(id.end(), recordKey_.begin(), recordKey_.end());
    AppendU32(id, nid);
    return id;
}

void PstStore::put(Nid nid, Nid parent, const NodeContent& content) {
    sink_->putNode(nid, parent, content);
}

PstStore::Folder& PstStore::newFolder(Nid nid, Nid parent, const std::string& name,
                                      const std::string& cls, bool hiddenCounts) {
    Folder& f = folders_[nid];
    f.nid = nid;
    f.parent = parent;
    f.name = name;
    f.containerClass = cls;
    f.hiddenCounts = hiddenCounts;
    if (parent != nid) {
        Folder& p = folders_.at(parent);
        if (p.subfolderCount++ == 0) p.pcDirty = true;
    }
    return f;
}

std::vector<Property> PstStore::folderProperties(const Folder& f) const {
    std::vector<Property> props{StringProperty(PidTagDisplayName, f.name),
                                Int32Property(PidTagContentCount, f.contentCount),
                                Int32Property(PidTagContentUnreadCount, f.unreadCount),
                                BoolProperty(PidTagSubfolders, f.subfolderCount != 0)};
    if (!f.containerClass.empty())
        props.push_back(StringProperty(PidTagContainerClass, f.containerClass));
    if (f.hiddenCounts) {
        props.push_back(Int32Property(PidTagPstHiddenCount, 0));
        props.push_back(Int32Property(PidTagPstHiddenUnread, 0));
    }
    return props;
}

// The objects of a new store ([MS-PST] 2.7.1 and the companions Outlook writes with them).
void PstStore::writeSkeleton() {
    LocalNids nids;
    put(NID_MESSAGE_STORE, 0,
        BuildPropertyContext(
            {BinaryProperty(PidTagRecordKey, Bytes(recordKey_.begin(), recordKey_.end())),
             StringProperty(PidTagDisplayName, displayName_),
             Int32Property(PidTagValidFolderMask, kValidFolderMask),
             BinaryProperty(PidTagIpmSubTreeEntryId, entryId(kTopOfPersonalFolders)),
             BinaryProperty(PidTagIpmWastebasketEntryId, entryId(kDeletedItems)),
             BinaryProperty(PidTagFinderEntryId, entryId(kSearchRoot)),
             Int32Property(PidTagPstPassword, 0)},
            nids));

    // Search queues and lists: empty, except the activity list naming the spam search folder.
    put(NID_SEARCH_MANAGEMENT_QUEUE, 0, NodeContent{});
    Bytes activity;
    AppendU32(activity, kSpamSearchFolder);
    put(NID_SEARCH_ACTIVITY_LIST, 0, NodeContent{activity, {}});
    put(NID_SEARCH_DOMAIN_OBJECT, 0, NodeContent{});

    put(NID_HIERARCHY_TABLE_TEMPLATE, 0, EmptyTable(HierarchyTableColumns()).build());
    put(NID_CONTENTS_TABLE_TEMPLATE, 0, EmptyTable(ContentsTableColumns()).build());
    put(NID_ASSOC_CONTENTS_TABLE_TEMPLATE, 0, EmptyTable(AssocContentsTableColumns()).build());
    put(NID_SEARCH_CONTENTS_TABLE_TEMPLATE, 0, EmptyTable(SearchContentsTableColumns()).build());
    put(NID_ATTACHMENT_TABLE, 0, EmptyTable(AttachmentTableColumns()).build());
    put(NID_RECIPIENT_TABLE, 0, EmptyTable(RecipientTableColumns()).build());

    // Nodes every Outlook-written store has although no reader needs them: the receive-folder
    // table, the outgoing queue and three replication tables, all as Outlook writes them.
    {
        const PropTag cols[] = {PidTagReceiveFolderTarget, PidTagMessageClass};
        TableContext receive(TableLayout::FromTags(cols));
        const Property row[] = {Int32Property(PidTagReceiveFolderTarget, NID_ROOT_FOLDER),
                                StringProperty(PidTagMessageClass, "")};
        receive.setRow(1, row, 2);
        put(0x62B, 0, receive.build());
        const PropTag outgoing[] = {PidTagSubmitFlags, PidTagDeferredSendTime,
                                    PidTagClientSubmitTime};
        put(0x64C, 0, EmptyTable(outgoing).build());
        const PropTag repl6b6[] = {PidTagReplChangenum, PidTagReplicaVersion, PidTagReplFlags};
        put(0x6B6, 0, EmptyTable(repl6b6).build());
        const PropTag repl6d7[] = {
            PidTagReplSourceid,       PidTagReplGroupId,   PidTagReplItemid,  PidTagReplFlags,
            PidTagReplVersionhistory, PidTagReplChangenum, PidTagMessageClass};
        put(0x6D7, 0, EmptyTable(repl6d7).build());
        const PropTag repl6f8[] = {PidTagCreationTime, PidTagReplChangenum};
        put(0x6F8, 0, EmptyTable(repl6f8).build());
        // 0xC01: a heap (client signature 0x9C) whose user root holds the HID of an empty
        // B-tree-on-heap with 16-byte keys and 4-byte entries.
        HeapBuilder heap(bTypeReserved3);
        Hid root = heap.allocate(4);
        Hid bth = WriteBth(heap, 16, 4, {});
        StoreU32(heap.at(root).data(), bth);
        heap.setUserRoot(root);
        put(0xC01, 0, NodeContent{heap.finish(), {}});
        put(0xE41, 0, NodeContent{});
    }

    // The spam search folder: its object, update queue, criteria and contents table.
    {
        LocalNids local;
        put(kSpamSearchFolder, NID_ROOT_FOLDER,
            BuildPropertyContext(
                {StringProperty(PidTagDisplayName, "SPAM Search Folder 2"),
                 Int32Property(PidTagContentCount, 0), Int32Property(PidTagContentUnreadCount, 0),
                 BoolProperty(PidTagSubfolders, false)},
                local));
        put(0x2226, 0, NodeContent{});
        put(0x2227, 0, BuildPropertyContext({Int32Property(PidTagSearchCriteriaFlags, 0)}, local));
        put(0x2230, 0, EmptyTable(SearchContentsTableColumns()).build());
    }

    // The root folder (its own parent) and the three folders under it; its hierarchy table
    // lists the top of the personal folders, the search root and the spam search folder.
    newFolder(NID_ROOT_FOLDER, NID_ROOT_FOLDER, "", "", false);
    newFolder(kTopOfPersonalFolders, NID_ROOT_FOLDER, kTopFolderName, "", false);
    newFolder(kSearchRoot, NID_ROOT_FOLDER, "Search Root", "", false);
    // The spam search folder's row follows the folders' rows at the first commit.
    folders_.at(NID_ROOT_FOLDER).subfolderCount++;
    newFolder(kDeletedItems, kTopOfPersonalFolders, "Deleted Items", "IPF.Note", false);
}

FolderId PstStore::addFolder(const std::string& name, FolderId parent) {
    checkOpen();
    if (name.empty()) throw PstError(PstError::Kind::BadName, "a folder name must not be empty");
    if (!folders_.count(parent.nid) || parent.nid == NID_ROOT_FOLDER || parent.nid == kSearchRoot)
        throw PstError(PstError::Kind::NoSuchFolder,
                       "no folder with id " + std::to_string(parent.nid) + " to add a folder to");
    if (nextFolderIndex_ >= (1u << 27))
        throw PstError(PstError::Kind::Format, "the store has no folder ids left");
    Nid nid = MakeNid(NID_TYPE_NORMAL_FOLDER, nextFolderIndex_++);
    newFolder(nid, parent.nid, name, "IPF.Note", true);
    return FolderId{nid};
}

PstStore::Folder& PstStore::folderForMessages(FolderId id) {
    auto it = folders_.find(id.nid);
    if (it == folders_.end() || id.nid == NID_ROOT_FOLDER || id.nid == kSearchRoot)
        throw PstError(PstError::Kind::NoSuchFolder,
                       "no folder with id " + std::to_string(id.nid) + " in this store");
    Folder& folder = it->second;
    if (folder.finished)
        throw PstError(
            PstError::Kind::FolderFinished,
            "folder \"" + folder.name + "\" was declared finished and takes no more messages");
    return folder;
}

BuiltMessage PstStore::prepareMessage(const Message& message) const {
    try {
        return BuildMessage(message, nameMap_, breather_);
    } catch (const LtpError& e) {
        throw PstError(PstError::Kind::BadMessage, std::string("message not stored: ") + e.what());
    }
}

void PstStore::addMessage(FolderId id, const Message& message) {
    checkOpen();
    folderForMessages(id);
    addPrepared(id, prepareMessage(message));
}

void PstStore::addPrepared(FolderId id, const BuiltMessage& built) {
    checkOpen();
    Folder& folder = folderForMessages(id);
    if (nextMessageIndex_ >= (1u << 27))
        throw PstError(PstError::Kind::Format, "the store has no message ids left");
    Nid nid = MakeNid(NID_TYPE_NORMAL_MESSAGE, nextMessageIndex_);
    Guarded(failed_, "storing a message", [&] {
        put(nid, folder.nid, built.node);
        ++nextMessageIndex_;
        folder.contents.setRow(nid, built.contentsRow);
        folder.contentCount++;
        if (!built.read) folder.unreadCount++;
        folder.pcDirty = folder.contentsDirty = true;
    });
}

void PstStore::setBreather(std::function<void()> breather) {
    breather_ = breather;
    sink_->setBreather(std::move(breather));
}

void PstStore::finishFolder(FolderId id) {
    checkOpen();
    auto it = folders_.find(id.nid);
    if (it == folders_.end())
        throw PstError(PstError::Kind::NoSuchFolder,
                       "no folder with id " + std::to_string(id.nid) + " in this store");
    it->second.finished = true;
}

void PstStore::commit() {
    checkOpen();
    Guarded(failed_, "committing the store", [&] {
        // Folder objects first: each one's row in its parent's hierarchy table follows it.
        for (auto& [nid, f] : folders_) {
            if (!f.pcDirty) continue;
            LocalNids local;
            std::vector<Property> props = folderProperties(f);
            put(nid, f.parent, BuildPropertyContext(props, local));
            if (f.parent != nid) {
                Folder& parent = folders_.at(f.parent);
                parent.hierarchy.setRow(nid, props);
                parent.hierarchyDirty = true;
            }
            f.pcDirty = false;
        }
        Folder& root = folders_.at(NID_ROOT_FOLDER);
        if (!root.hierarchy.hasRow(kSpamSearchFolder)) {
            const Property row[] = {StringProperty(PidTagDisplayName, "SPAM Search Folder 2"),
                                    Int32Property(PidTagContentCount, 0),
                                    Int32Property(PidTagContentUnreadCount, 0),
                                    BoolProperty(PidTagSubfolders, false)};
            root.hierarchy.setRow(kSpamSearchFolder, row);
        }
        for (auto& [nid, f] : folders_) {
            uint32_t index = nid >> 5;
            if (f.hierarchyDirty)
                put(MakeNid(NID_TYPE_HIERARCHY_TABLE, index), 0, f.hierarchy.build());
            if (f.contentsDirty) {
                // A mailbox's table can take milliseconds to lay out: the front end gets a
                // turn before and after.
                if (breather_) breather_();
                NodeContent contents = f.contents.build();
                if (breather_) breather_();
                put(MakeNid(NID_TYPE_CONTENTS_TABLE, index), 0, contents);
            }
            if (f.assocDirty)
                put(MakeNid(NID_TYPE_ASSOC_CONTENTS_TABLE, index), 0, f.assoc.build());
            f.hierarchyDirty = f.contentsDirty = f.assocDirty = false;
            if (f.finished && f.contents.rowCount() != 0)
                f.contents = EmptyTable(ContentsTableColumns());  // written: free the rows
        }
        if (nameMap_.changed()) {
            put(NID_NAME_TO_ID_MAP, 0, nameMap_.build());
            nameMap_.markWritten();
        }
        sink_->commit();
    });
}

void PstStore::close() {
    checkOpen();
    commit();
    Guarded(failed_, "closing the store", [&] { sink_->close(); });
    closed_ = true;
}

void PstStore::checkOpen() const {
    if (closed_) throw PstError(PstError::Kind::Closed, "the store is closed");
    if (failed_)
        throw PstError(PstError::Kind::Closed,
                       "the store refuses further work after a failed write; its last commit "
                       "is what the file holds");
}

}  // namespace quill::store::pst::messaging
