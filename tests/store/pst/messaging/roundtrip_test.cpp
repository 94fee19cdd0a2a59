// Stores written to files and read back by readers nobody here wrote: pffexport (libpff),
// readpst (libpst) and pst-extractor (npm), plus the node database's own structure checker. One
// store holds every case, so that each reader runs once.

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <thread>

#include "../../../support/files.h"
#include "../../../support/scratch_dir.h"
#include "sample_message.h"
#include "store/pst/messaging/messaging.h"
#include "store/pst/ndb/ndb.h"

namespace quill::store::pst::messaging {
namespace {

using quill::testing::ReadFile;
using quill::testing::ScratchDir;
using testing::SampleMessage;
namespace fs = std::filesystem;

const std::string kStoreName = "MBOX Mailbox : Created - 5.12.26 9.7.03";
constexpr int kPrepared = 40, kArchived = 2000;

struct ToolResult {
    int status = -1;
    std::string output;  // stdout and stderr
};

ToolResult RunTool(const std::string& command) {
    ToolResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    result.status = pclose(pipe);
    return result;
}

std::string Quote(const fs::path& p) {
    return "'" + p.string() + "'";
}

void ExpectNoComplaint(const ToolResult& r, const std::string& tool) {
    EXPECT_EQ(r.status, 0) << tool << ":\n" << r.output;
    for (const char* word : {"rror", "arning", "nable to", "nsupported", "nvalid", "orrupt"})
        EXPECT_EQ(r.output.find(word), std::string::npos) << tool << " says " << word << ":\n"
                                                          << r.output;
}

// Folders with Unicode names and a thousand more, committed every 250 as the conversion run
// commits after each mailbox; full messages with named properties and a large attachment; messages
// made ready on several threads; a message of 150 recipients and one of 400 attachments (a
// two-level subnode tree); a folder of 2000 messages.
std::vector<std::string> AddFolders(PstStore& store, std::map<std::string, FolderId>& ids) {
    std::vector<std::string> names = {
        "Inbox", "Other", "Prepared", "Many", "Archive", "Grüße – Überblick", "日本語のフォルダ"};
    for (int i = 1; i <= 1000; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "Mailbox %04d", i);
        names.push_back(name);
    }
    names.push_back("Archive 📁");
    for (size_t i = 0; i < names.size(); ++i) {
        ids[names[i]] = store.addFolder(names[i]);
        if ((i + 1) % 250 == 0) store.commit();
    }
    return names;
}

void AddMessages(PstStore& store, std::map<std::string, FolderId>& ids, size_t& breaths) {
    Message first = SampleMessage("Grüße 1");
    first.props.setNamed({PS_INTERNET_HEADERS, true, 0, "X-Mailer"}, PT_UNICODE,
                         std::string("Quillmere"));
    first.props.setNamed({PSETID_Common, false, 0x8554, ""}, PT_UNICODE, std::string("16.0"));
    store.addMessage(ids["Inbox"], first);
    store.commit();
    store.addMessage(ids["Other"], SampleMessage("Grüße 2", false));
    // Its attachment and body are written a block at a time with the breather called in
    // between, so that a window stays responsive during a message of hundreds of megabytes.
    Message third = SampleMessage("Grüße 3", true, 2000000);
    store.setBreather([&] { ++breaths; });
    store.addMessage(ids["Inbox"], third);
    store.setBreather(nullptr);

    std::vector<Message> messages(kPrepared);
    std::vector<BuiltMessage> prepared(messages.size());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < kPrepared; i += 4) {
                messages[i] = SampleMessage("Number " + std::to_string(i));
                NamedProperty own{PS_INTERNET_HEADERS, true, 0, "X-Own-" + std::to_string(i)};
                messages[i].props.setNamed(own, PT_UNICODE, "value " + std::to_string(i));
                prepared[i] = store.prepareMessage(messages[i]);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (const BuiltMessage& p : prepared) store.addPrepared(ids["Prepared"], p);

    Message many;
    many.props.set(PidTagSubject, std::string("Many"));
    for (int i = 0; i < 150; ++i) {
        Recipient r;
        r.props.set(PidTagDisplayName, "Person " + std::to_string(i));
        r.props.set(PidTagEmailAddress, "person" + std::to_string(i) + "@example.org");
        r.props.set(PidTagRecipientType, i % 2 == 0 ? MAPI_TO : MAPI_CC);
        many.recipients.push_back(std::move(r));
    }
    store.addMessage(ids["Many"], many);
    for (int i = 0; i < 400; ++i) {
        Attachment a;
        a.props.set(PidTagAttachLongFilename, "file" + std::to_string(i) + ".txt");
        std::string text = "attachment " + std::to_string(i);
        a.data = Bytes(text.begin(), text.end());
        many.attachments.push_back(std::move(a));
    }
    store.addMessage(ids["Many"], many);

    for (int i = 0; i < kArchived; ++i) {
        Message m;
        m.props.set(PidTagSubject, "Message number " + std::to_string(i));
        m.props.set(PidTagSentRepresentingName, "Sender " + std::to_string(i % 7));
        m.props.set(PidTagMessageFlags, int32_t(i % 3 == 0 ? 0 : MSGFLAG_READ));
        store.addMessage(ids["Archive"], m);
    }
}

TEST(PstRoundTrip, OneStoreOfEveryKindSurvivesEveryReader) {
    ScratchDir dir;
    const fs::path file = dir.path() / "store.pst";
    std::map<std::string, FolderId> ids;
    std::vector<std::string> names;
    size_t breaths = 0;
    {
        auto store = PstStore::create(file, kStoreName);
        names = AddFolders(*store, ids);
        AddMessages(*store, ids, breaths);
        store->close();
    }
    EXPECT_GE(breaths, 2000000u / 8176);
    EXPECT_THROW(PstStore::create(file, kStoreName), PstError) << "an existing file is kept";

    ndb::NdbReader reader(file);
    EXPECT_TRUE(reader.check().ok()) << reader.check().summary();

    // "-m all" also looks for deleted items in free space: stale copies of rewritten nodes
    // (the hierarchy tables before the last commits) must not be found there.
    const fs::path x = dir.path() / "x";
    auto exp = RunTool("pffexport -m all -d -q -t " + Quote(x) + " " + Quote(file));
    ExpectNoComplaint(exp, "pffexport");
    EXPECT_FALSE(fs::exists(dir.path() / "x.recovered"));
    EXPECT_FALSE(fs::exists(dir.path() / "x.orphans"));
    fs::create_directories(dir.path() / "r");
    auto rp = RunTool("readpst -D -r -8 -o " + Quote(dir.path() / "r") + " " + Quote(file));
    ExpectNoComplaint(rp, "readpst");
    EXPECT_NE(rp.output.find("\"" + kStoreName + "\" - "), std::string::npos) << rp.output;

    // Folders listed in order: readpst walks the nodes by parent link, pst-extractor (below)
    // the hierarchy tables.
    std::vector<std::string> expected{"Deleted Items"}, listed;
    expected.insert(expected.end(), names.begin(), names.end());
    const std::regex processing("Processing Folder \"(.*)\"");
    for (std::sregex_iterator it(rp.output.begin(), rp.output.end(), processing), end; it != end;
         ++it)
        listed.push_back((*it)[1]);
    EXPECT_EQ(listed, expected);
    // libpst 0.6.76 cannot read two-level subnode trees: it still lists both messages of
    // "Many", but without the 400 attachments (Outlook and libpff read them).
    for (const char* done : {"\"Inbox\" - 2 items", "\"Other\" - 1 items", "\"Many\" - 2 items",
                             "\"Prepared\" - 40 items", "\"Archive\" - 2000 items"})
        EXPECT_NE(rp.output.find(std::string(done) + " done, 0 items skipped."), std::string::npos)
            << done;

    // pst-extractor (npm), a reader of a third family, walks every folder and message: name,
    // messages, attachments (a sample message has three), unread messages.
    const std::map<std::string, std::string> counts = {{"Inbox", "2\t6\t0"},
                                                       {"Other", "1\t3\t1"},
                                                       {"Prepared", "40\t120\t0"},
                                                       {"Many", "2\t400\t2"},
                                                       {"Archive", "2000\t0\t667"}};
    std::string outline = "\t0\t0\t0\nTop of Personal Folders\t0\t0\t0\nDeleted Items\t0\t0\t0\n";
    for (const std::string& name : names)
        outline += name + "\t" + (counts.count(name) ? counts.at(name) : "0\t0\t0") + "\n";
    outline += "Search Root\t0\t0\t0\nSPAM Search Folder 2\t0\t0\t0\n";
    auto px = RunTool("NODE_PATH='" QUILL_NPM_READERS "' node '" PST_TEST_SCRIPTS
                      "/pst_extractor_outline.js' " +
                      Quote(file));
    EXPECT_EQ(px.status, 0);
    EXPECT_EQ(px.output, outline);

    // What only this layer sets; subjects, senders, recipients, bodies and attachments of the
    // messages the run stores are compared field by field in the PST run tests.
    const fs::path top = dir.path() / "x.export" / "Top of Personal Folders";
    const fs::path m1 = top / "Inbox" / "Message00001";
    std::string values = ReadFile(m1 / "ItemValues.txt");
    EXPECT_NE(values.find("Maps to entry:\t\t\tX-Mailer\nValue:\n0x00000000: 51 00 75 00 69 00"),
              std::string::npos)
        << "named property by name";
    EXPECT_NE(values.find("Maps to entry type:\t\t0x00008554\nValue:\n0x00000000: 31 00 36 00"),
              std::string::npos)
        << "named property by number";
    // Messages prepared on several threads are all there, in order, each with its own name.
    for (int i = 0; i < kPrepared; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "Message%05d", i + 1);
        const fs::path m = top / "Prepared" / name;
        std::string own = "Maps to entry:\t\t\tX-Own-" + std::to_string(i) + "\nValue:\n";
        values = ReadFile(m / "ItemValues.txt");
        size_t at = values.find(own);
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_EQ(values.substr(at + own.size(), 24), "0x00000000: 76 00 61 00 ") << name;
    }
    EXPECT_EQ(ReadFile(top / "Many" / "Message00002" / "Attachments" / "400_file399.txt"),
              "attachment 399");
}

}  // namespace
}  // namespace quill::store::pst::messaging
