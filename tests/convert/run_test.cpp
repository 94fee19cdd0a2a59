#include "convert/run.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../store/msg/msg_test_support.h"
#include "convert/store_outputs.h"
#include "run_support.h"
#include "store/mime/import.h"

namespace fs = std::filesystem;
using namespace quill;

using namespace quill::testing;

namespace {

class RunTest : public RunFolders<ScriptedRunHost> {};

TEST_F(RunTest, ConvertsThreeMailboxesWithCaptionsBarsAndEndBox) {
    fs::path lf = in_ / "lf.mbox", crlf = in_ / "crlf.mbox", none = in_ / "none.mbx";
    WriteFile(lf, "From a\nSubject: 1\n\nbody\nFrom b\nSubject: 2\n\n>From x\n");
    WriteFile(crlf, "From c\r\nX: 1\r\n\r\nhi\r\n");
    WriteFile(none, "no separator here\nFrom: someone\n");

    RunSummary s = RunConversion(host_, OutputKind::EML, {lf, crlf, none});

    EXPECT_TRUE(s.started);
    EXPECT_EQ(s.converted, 2u);
    EXPECT_EQ(s.messages, 3u);
    EXPECT_TRUE(s.failures.empty());
    EXPECT_EQ(s.noMessages, std::vector<std::string>{none});
    EXPECT_EQ(host_.folderPrompts, std::vector<std::string>{"Choose Folder to Save..."});
    EXPECT_EQ(
        host_.captionsOf(Caption::LblProgessCurrent),
        (std::vector<std::string>{"Mailbox 1 (of 3) ", "Mailbox 2 (of 3) ", "Mailbox 3 (of 3) "}));
    auto names = host_.captionsOf(Caption::LblIMMFile);
    EXPECT_EQ(names, (std::vector<std::string>{"lf.mbox", "crlf.mbox", "none.mbx"}));
    EXPECT_EQ(host_.lastCaption(Caption::LblEmlsFound), "0 Messages");
    auto found = host_.captionsOf(Caption::LblEmlsFound);
    EXPECT_NE(std::find(found.begin(), found.end(), "2 Messages"), found.end());
    EXPECT_NE(std::find(found.begin(), found.end(), "1 Messages"), found.end());

    std::vector<double> bar1;
    for (auto& [b, v] : host_.bars)
        if (b == Bar::ProgressBar1) bar1.push_back(v);
    ASSERT_EQ(bar1.size(), 3u);
    EXPECT_NEAR(bar1[0], 100.0 / 3, 1e-9);
    EXPECT_NEAR(bar1[1], 200.0 / 3, 1e-9);
    EXPECT_DOUBLE_EQ(bar1[2], 100.0);

    EXPECT_EQ(ReadFile(outFor(lf) / "Email-0.eml"), "From a\r\nSubject: 1\r\n\r\nbody\r\n\r\n");
    EXPECT_EQ(ReadFile(outFor(lf) / "Email-1.eml"), "From b\r\nSubject: 2\r\n\r\n>From x\r\n\r\n");
    EXPECT_EQ(ReadFile(outFor(crlf) / "Email-0.eml"), "From c\r\nX: 1\r\n\r\nhi\r\n\r\n");
    EXPECT_EQ(FilesBelow(outFor(none)), std::vector<std::string>{});
    // No working copy is left beside any mailbox.
    EXPECT_EQ(FilesBelow(in_), (std::vector<std::string>{"crlf.mbox", "lf.mbox", "none.mbx"}));

    // The converted ones succeeded; the file without a message is named after that.
    ASSERT_EQ(host_.boxes.size(), 1u);
    EXPECT_EQ(host_.boxes[0].text,
              "Your messages from MBOX files has been successfully exported.\r\n" +
                  std::string(75, '*') + "\r\n\r\nNo message was found in:\r\n" + none.string());
    EXPECT_EQ(host_.boxes[0].title, "Quillmere");
    EXPECT_EQ(host_.boxes[0].icon, MsgIcon::Exclamation);
    EXPECT_EQ(host_.convertEnabled, (std::vector<bool>{false, true}));
    EXPECT_EQ(host_.optionsCleared, 1);
}

TEST_F(RunTest, RefusesWithoutOptionListOrFolder) {
    fs::path box = in_ / "a.mbox";
    WriteFile(box, "From a\nX: 1\n");

    RunSummary s = RunConversion(host_, OutputKind::None, {box.string()});
    EXPECT_FALSE(s.started);
    ASSERT_EQ(host_.boxes.size(), 1u);
    EXPECT_EQ(host_.boxes[0].text, "Please select a option to convert file(s).");
    EXPECT_EQ(host_.boxes[0].icon, MsgIcon::Information);
    EXPECT_TRUE(host_.folderPrompts.empty());

    for (auto rows : {std::vector<std::string>{}, std::vector<std::string>{""}}) {
        host_.boxes.clear();
        s = RunConversion(host_, OutputKind::EML, rows);
        EXPECT_FALSE(s.started);
        ASSERT_EQ(host_.boxes.size(), 1u);
        EXPECT_EQ(host_.boxes[0].text, "There are no mailbox files in the list.");
        EXPECT_EQ(host_.boxes[0].title, "Quillmere");
    }

    host_.boxes.clear();
    host_.folderAnswer.clear();  // the folder dialog is cancelled
    s = RunConversion(host_, OutputKind::EML, {box.string()});
    EXPECT_FALSE(s.started);
    EXPECT_TRUE(host_.boxes.empty());
    // Nothing was disabled, nothing cleared: the option stays chosen.
    EXPECT_TRUE(host_.convertEnabled.empty());
    EXPECT_EQ(host_.optionsCleared, 0);
    EXPECT_EQ(FilesBelow(out_), std::vector<std::string>{});
}

TEST(MailboxOutputFolder, KeepsTheMailboxPathBelowTheOutputFolder) {
    struct Row {
        const char* output;
        const char* mailbox;
        const char* expected;
    } rows[] = {
        {"/out", "/Mail/Inbox.mbox", "/out/Mail/Inbox.mbox"},
        {"/out/", "/Mail/Inbox.mbox", "/out/Mail/Inbox.mbox"},
        {"/", "/Mail/Inbox.mbox", "/Mail/Inbox.mbox"},
        {"/out", "/Mail/./x/../Inbox.mbox", "/out/Mail/Inbox.mbox"},
        // Nothing climbs out of the output folder.
        {"/out", "/../../etc/a.mbox", "/out/etc/a.mbox"},
        {"/out", "../a.mbox", "/out/a.mbox"},
        {"/out", "/Mail/Inbox.mbox/", "/out/Mail/Inbox.mbox"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(MailboxOutputFolder(r.output, r.mailbox), r.expected) << r.mailbox;
}

TEST(StoreFolderName, DropsMboxEndingsAndNamesBundlesAfterTheirFolder) {
    struct Row {
        const char* mailbox;
        const char* expected;
    } rows[] = {
        {"/m/Inbox.mbox", "Inbox"},
        {"/m/Inbox.MBOX", "Inbox"},
        {"/m/Inbox.Mbox", "Inbox.Mbox"},
        {"/m/Inbox.mbx", "Inbox.mbx"},
        {"/m/a.mbox.mbox", "a"},
        {"/m/ Sent.mbox ", "Sent"},
        {"/m/Work.mbox/mbox", "Work"},
        {"/m/Work/mbox", "mbox"},
        // A name that would be empty: a store folder must have one.
        {"/m/.mbox", ".mbox"},
        {"/m/.mbox.MBOX", ".mbox.MBOX"},
        {"/m/ .mbox", ".mbox"},
    };
    for (const auto& r : rows) EXPECT_EQ(StoreFolderName(r.mailbox), r.expected) << r.mailbox;
}

TEST_F(RunTest, SameMailboxTwiceAndOutputInsideTheMailboxTree) {
    fs::path box = in_ / "a.mbox";
    WriteFile(box, "From a\nX: 1\nFrom b\nX: 2\n");
    host_.folderAnswer = in_.string();  // the output folder holds the mailbox itself
    RunSummary s = RunConversion(host_, OutputKind::EML, {box.string(), box.string()});
    EXPECT_EQ(s.converted, 2u);
    fs::path folder = in_ / box.relative_path();
    EXPECT_EQ(FilesBelow(folder), (std::vector<std::string>{"Email-0.eml", "Email-1.eml"}));
    EXPECT_EQ(ReadFile(folder / "Email-1.eml"), "From b\r\nX: 2\r\n\r\n");
}

TEST_F(RunTest, RecordsFailedMailboxesAndConvertsTheOthers) {
    fs::path good = in_ / "good.mbox", missing = in_ / "gone.mbox", empty = in_ / "empty.mbox";
    fs::path blocked = root_ / "blocked" / "b.mbox";
    WriteFile(good, "From a\nX: 1\n");
    WriteFile(blocked, "From b\nX: 2\n");
    WriteFile(empty, "");
    // A file where the blocked mailbox's output folder would go: that folder cannot be made.
    WriteFile(out_ / fs::path(root_ / "blocked").relative_path(), "in the way");
    std::vector<std::string> rows = {missing.string(), blocked.string()};
    for (int i = 0; i < 19; ++i) rows.push_back((in_ / ("gone" + std::to_string(i))).string());
    rows.push_back(empty.string());
    rows.push_back(good.string());

    RunSummary s = RunConversion(host_, OutputKind::EML, rows);

    EXPECT_EQ(s.converted, 1u);
    ASSERT_EQ(s.failures.size(), 21u);
    EXPECT_EQ(s.noMessages, std::vector<std::string>{empty.string()});
    EXPECT_EQ(s.failures[0].mailbox, missing.string());
    EXPECT_NE(s.failures[0].reason.find("does not exist"), std::string::npos);
    EXPECT_EQ(s.failures[1].mailbox, blocked.string());
    EXPECT_NE(s.failures[1].reason.find("output folder"), std::string::npos);
    EXPECT_TRUE(fs::exists(outFor(good) / "Email-0.eml"));

    const auto& end = host_.boxes.back();
    EXPECT_EQ(end.icon, MsgIcon::Exclamation);
    EXPECT_EQ(end.title, "Quillmere");
    EXPECT_EQ(end.text.rfind("1 of 23 mailboxes were converted.", 0), 0u) << end.text;
    EXPECT_NE(end.text.find(missing.string()), std::string::npos);
    EXPECT_NE(end.text.find(blocked.string()), std::string::npos);
    // Twenty names fit on the screen; the rest are counted.
    EXPECT_NE(end.text.find(rows[19] + "\r\n"), std::string::npos) << end.text;
    EXPECT_EQ(end.text.find(rows[20]), std::string::npos) << end.text;
    const std::string tail = "\r\nand 1 more\r\n\r\nNo message was found in:\r\nand 1 more";
    EXPECT_EQ(end.text.substr(end.text.size() - tail.size()), tail) << end.text;
    EXPECT_EQ(host_.convertEnabled.back(), true);
    EXPECT_EQ(host_.optionsCleared, 1);
}

TEST_F(RunTest, ClosingTheWindowEndsTheRunCleanly) {
    std::string mbox;
    for (int i = 0; i < 2000; ++i) mbox += "From x\nSubject: " + std::to_string(i) + "\n\nbody\n";
    std::vector<std::string> rows;
    for (int i = 0; i < 4; ++i) {
        fs::path p = in_ / ("m" + std::to_string(i) + ".mbox");
        WriteFile(p, mbox);
        rows.push_back(p.string());
    }
    for (OutputKind kind : {OutputKind::EML, OutputKind::MSG, OutputKind::PST}) {
        SCOPED_TRACE(OutputKindName(kind));
        fs::remove_all(out_);
        fs::create_directories(out_);
        host_ = ScriptedRunHost{};
        host_.folderAnswer = out_.string();
        host_.cancelAfterYields = 6;
        RunSummary s = RunConversion(host_, kind, rows, DefaultRunSettings("manual.html"));
        EXPECT_TRUE(s.cancelled);
        EXPECT_TRUE(host_.boxes.empty());  // the program is ending: no end box
        EXPECT_LT(s.converted, 4u);
        // No working copy beside the mailboxes, no partial file under any name; the messages
        // done form an unbroken run from the first (nothing done ahead is left behind).
        for (const auto& f : FilesBelow(in_)) EXPECT_EQ(fs::path(f).extension(), ".mbox") << f;
        // A PST run leaves no message file at all: what was stored is in the store.
        const std::string ext = kind == OutputKind::MSG ? ".msg" : ".eml";
        for (const auto& row : rows) {
            const fs::path folder = fs::path(MailboxOutputFolder(out_.string(), row));
            std::vector<std::string> files = FilesBelow(folder);
            if (kind == OutputKind::PST) {
                EXPECT_EQ(files, std::vector<std::string>{});
            }
            for (size_t k = 0; k < files.size(); ++k)
                EXPECT_TRUE(fs::exists(folder / ("Email-" + std::to_string(k) + ext))) << k;
        }
    }
}

// A store output that records what the run hands it.
class RecordingStore : public StoreOutput {
  public:
    struct Log {
        std::vector<std::string> calls;
    };
    explicit RecordingStore(Log& log, int failAtMessage = -1) : log_(log), failAt_(failAtMessage) {}
    StoreError open(const std::string& folder) override {
        log_.calls.push_back("open");
        return std::nullopt;
    }
    StoreError beginMailbox(const StoreFolderPath& path, const std::string&) override {
        std::string name;
        for (const std::string& part : path) name += (name.empty() ? "" : "/") + part;
        log_.calls.push_back("folder " + name);
        return std::nullopt;
    }
    StoreError storeMessage(uint64_t k, const std::string& file, const MessageBytes&) override {
        if (int(stored_++) == failAt_) return "Could not write the store: disk on fire";
        log_.calls.push_back("message " + std::to_string(k) + " " +
                             (fs::exists(file) ? "present" : "missing"));
        fs::remove(file);
        return std::nullopt;
    }
    StoreError endMailbox() override {
        log_.calls.push_back("commit");
        return std::nullopt;
    }
    StoreError close() override {
        log_.calls.push_back("close");
        return std::nullopt;
    }
    void abandon() override { log_.calls.push_back("abandon"); }

  private:
    Log& log_;
    int failAt_;
    uint64_t stored_ = 0;
};

TEST_F(RunTest, StoreGetsAFolderPerMailboxWithUniqueNamesAndEveryMessage) {
    fs::path a = in_ / "A" / "Inbox.mbox", b = in_ / "B" / "Inbox.mbox", c = in_ / "c.mbox";
    WriteFile(a, "From a\nX: 1\nFrom b\nX: 2\n");
    WriteFile(b, "From c\nX: 3\n");
    WriteFile(c, "not a mailbox\n");
    RecordingStore::Log log;
    RunSettings settings;
    settings.storeOutputs = [&](OutputKind) { return std::make_unique<RecordingStore>(log); };

    RunSummary s =
        RunConversion(host_, OutputKind::PST, {a.string(), b.string(), c.string()}, settings);

    EXPECT_EQ(s.converted, 2u);
    EXPECT_EQ(log.calls, (std::vector<std::string>{"open", "folder Inbox", "message 0 present",
                                                   "message 1 present", "commit",
                                                   "folder Inbox (2)", "message 0 present",
                                                   "commit", "folder c", "commit", "close"}));
    EXPECT_EQ(FilesBelow(out_), std::vector<std::string>{});  // every intermediate file is gone
    EXPECT_TRUE(fs::is_directory(outFor(a)));
    // The store's text, then the mailbox whose store folder stays empty.
    EXPECT_EQ(host_.boxes.back().text,
              SuccessText(OutputKind::PST) + "\r\n\r\nNo message was found in:\r\n" + c.string());
}

TEST_F(RunTest, StoreFailureEndsTheRunWithTheStoreMessage) {
    fs::path a = in_ / "a.mbox", b = in_ / "b.mbox";
    WriteFile(a, "From a\nX: 1\nFrom b\nX: 2\n");
    WriteFile(b, "From c\nX: 3\n");
    RecordingStore::Log log;
    RunSettings settings;
    settings.troubleshootingAddress = "file:///manual.html#troubleshooting";
    settings.storeOutputs = [&](OutputKind) { return std::make_unique<RecordingStore>(log, 1); };

    RunSummary s = RunConversion(host_, OutputKind::MSG, {a.string(), b.string()}, settings);

    EXPECT_EQ(s.storeFailure, "Could not write the store: disk on fire");
    EXPECT_EQ(log.calls.back(), "abandon");
    // The box's title, icon and the window's state afterwards: the unwritable .msg test below.
    ASSERT_EQ(host_.boxes.size(), 1u);
    EXPECT_EQ(host_.boxes[0].text,
              "Outlook Session Creation Error !\r\nCould not write the store: disk on fire\r\n"
              "For more details visit this link : file:///manual.html#troubleshooting");
    EXPECT_EQ(host_.captionsOf(Caption::LblProgessCurrent).size(), 1u);  // b never started
}

// ---- MSG output: the run with the program's own store outputs, read back by msgconvert -----

namespace msgtest = quill::store::msg::testing;

// A mailbox of the MIME fixtures: plain and HTML alternatives with several recipients, a
// forwarded message with an attachment of its own, an empty attachment.
fs::path WriteFixtureMailbox(const fs::path& file) {
    std::string mailbox;
    for (const char* name : {"alternative-plain-and-html.eml",
                             "forwarded-message-with-attachment.eml", "zero-byte-attachment.eml"})
        mailbox += ReadFile(fs::path(QUILL_TEST_DATA) / "mime" / name);
    WriteFile(file, mailbox);
    return file;
}

std::vector<std::string> Names(const std::vector<msgtest::Address>& list) {
    std::vector<std::string> out;
    for (const auto& a : list) out.push_back(a.address);
    return out;
}

// What msgconvert reads from a .msg is what the import read from the message file the run cut.
void ExpectSameMail(const msgtest::ConvertedMail& mail, const store::Message& m,
                    const std::string& label) {
    SCOPED_TRACE(label);
    EXPECT_EQ(mail.subject, m.props.string(store::PidTagSubject).value_or(""));
    if (auto body = m.props.string(store::PidTagBody)) {
        EXPECT_EQ(mail.plain, *body);
    }
    if (const store::Bytes* html = m.props.binary(store::PidTagHtml)) {
        EXPECT_EQ(mail.html, std::string(html->begin(), html->end()));
    }
    std::vector<const store::Attachment*> byValue;
    std::vector<const store::Attachment*> embedded;
    for (const auto& a : m.attachments) (a.embedded ? embedded : byValue).push_back(&a);
    ASSERT_EQ(mail.attachments.size(), byValue.size());
    for (size_t i = 0; i < byValue.size(); ++i) {
        EXPECT_EQ(mail.attachments[i].name,
                  byValue[i]->props.string(store::PidTagAttachLongFilename).value_or(""));
        EXPECT_TRUE(mail.attachments[i].data == byValue[i]->data) << "attachment " << i;
    }
    ASSERT_EQ(mail.forwarded.size(), embedded.size());
    for (size_t i = 0; i < embedded.size(); ++i)
        ExpectSameMail(*mail.forwarded[i], *embedded[i]->embedded, label + " forwarded");
}

TEST_F(RunTest, MsgRunLeavesOneOutlookFilePerMessageThatReadersOpen) {
    if (std::string why = msgtest::MissingMsgconvert(); !why.empty()) GTEST_SKIP() << why;
    fs::path mailbox = WriteFixtureMailbox(in_ / "Inbox.mbox");
    RunSummary s = RunConversion(host_, OutputKind::MSG, {mailbox.string()},
                                 DefaultRunSettings("/opt/quillmere/manual.html"));

    EXPECT_EQ(s.storeFailure, "");
    EXPECT_EQ(s.messages, 3u);
    ASSERT_EQ(host_.boxes.size(), 1u);
    EXPECT_EQ(host_.boxes[0].title, "Quillmere");
    EXPECT_EQ(host_.boxes[0].text,
              "Your messages from MBOX files has been successfully exported.\r\n" +
                  std::string(75, '*') + "\r\n");
    // Only the .msg files: no intermediate message file, no temporary, no store.
    const fs::path folder = outFor(mailbox);
    EXPECT_EQ(FilesBelow(out_),
              (std::vector<std::string>{(folder / "Email-0.msg").lexically_relative(out_),
                                        (folder / "Email-1.msg").lexically_relative(out_),
                                        (folder / "Email-2.msg").lexically_relative(out_)}));

    // The same mailbox as message files: what the import makes of each is what the .msg holds.
    ScriptedRunHost emlHost;
    emlHost.folderAnswer = (root_ / "eml").string();
    RunConversion(emlHost, OutputKind::EML, {mailbox.string()}, RunSettings{});
    std::vector<msgtest::ConvertedMail> mails;
    for (int k = 0; k < 3; ++k) {
        fs::path msg = folder / ("Email-" + std::to_string(k) + ".msg");
        msgtest::CommandResult check = msgtest::CheckCompoundFile(msg);
        EXPECT_EQ(check.status, 0) << msg << check.out << check.err;
        std::string failure;
        std::optional<msgtest::ConvertedMail> mail = msgtest::ConvertWithMsgconvert(msg, failure);
        ASSERT_TRUE(mail) << failure;
        fs::path eml =
            root_ / "eml" / mailbox.relative_path() / ("Email-" + std::to_string(k) + ".eml");
        store::mime::ImportResult imported = store::mime::ImportMessageFile(eml);
        ExpectSameMail(*mail, imported.message, msg.filename().string());
        mails.push_back(std::move(*mail));
    }
    // Bodies and attachments were compared above; the envelope, which that leaves out:
    EXPECT_EQ(mails[0].from, (msgtest::Address{"Smith, Ann", "ann@example.org"}));
    EXPECT_EQ(Names(mails[0].to),
              (std::vector<std::string>{"bob@example.com", "carol@example.com"}));
    EXPECT_EQ(Names(mails[0].cc),
              (std::vector<std::string>{"dave@example.com", "eve@example.com"}));
    EXPECT_EQ(mails[0].date, 1796758200);  // Tue, 8 Dec 2026 14:30:00 -0500
}

TEST_F(RunTest, MsgFileThatCannotBeWrittenEndsTheRunWithTheOutlookBox) {
    fs::path a = WriteFixtureMailbox(in_ / "a.mbox"), b = in_ / "b.mbox";
    WriteFile(b, "From c\nX: 3\n");
    // A folder sits where message 1's file must go.
    fs::create_directories(outFor(a) / "Email-1.msg" / "inside");

    RunSummary s = RunConversion(host_, OutputKind::MSG, {a.string(), b.string()},
                                 DefaultRunSettings("/opt/quillmere/manual.html"));

    ASSERT_EQ(host_.boxes.size(), 1u);
    EXPECT_EQ(host_.boxes[0].title, "Outlook Error");
    EXPECT_EQ(host_.boxes[0].icon, MsgIcon::Information);
    const std::string& cause = s.storeFailure;
    EXPECT_EQ(host_.boxes[0].text, "Outlook Session Creation Error !\r\n" + cause +
                                       "\r\nFor more details visit this link : "
                                       "file:///opt/quillmere/manual.html#troubleshooting");
    // The real cause: which file, what failed, the system's reason.
    EXPECT_NE(cause.find((outFor(a) / "Email-1.msg").string()), std::string::npos) << cause;
    EXPECT_NE(cause.find("final name"), std::string::npos) << cause;
    EXPECT_NE(cause.find(std::strerror(EISDIR)), std::string::npos) << cause;
    EXPECT_EQ(cause.find('\n'), std::string::npos) << cause;
    EXPECT_EQ(host_.convertEnabled.back(), true);
    EXPECT_EQ(host_.optionsCleared, 1);
    // What was written stays; nothing half-made is left; the second mailbox never started.
    std::vector<std::string> left = FilesBelow(outFor(a));
    EXPECT_EQ(left, (std::vector<std::string>{"Email-0.msg"}));
    EXPECT_FALSE(fs::exists(outFor(b)));
}

}  // namespace

TEST_F(RunTest, StoreRunEndsAtAMailboxThatCannotBeRead) {
    fs::path gone = in_ / "gone.mbox", b = in_ / "b.mbox";
    WriteFile(b, "From c\nX: 3\n");
    RecordingStore::Log log;
    RunSettings settings;
    settings.storeOutputs = [&](OutputKind) { return std::make_unique<RecordingStore>(log); };

    RunSummary s = RunConversion(host_, OutputKind::PST, {gone.string(), b.string()}, settings);

    EXPECT_NE(s.storeFailure.find(gone.string()), std::string::npos) << s.storeFailure;
    EXPECT_EQ(log.calls.back(), "abandon");
    EXPECT_EQ(host_.boxes.back().title, "Outlook Error");
    EXPECT_EQ(host_.boxes.back().text.rfind("Outlook Session Creation Error !\r\n", 0), 0u);
    EXPECT_EQ(host_.captionsOf(Caption::LblProgessCurrent).size(), 1u);  // b never started
}
