#include "convert/run.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "../support/front_end_cases.h"
#include "convert/store_outputs.h"
#include "run_support.h"
#include "store/mime/import.h"
#include "store/msg/msg_writer.h"

namespace fs = std::filesystem;
using namespace quill;
using namespace quill::testing;

namespace {

// The run driven directly as a front end of the shared run cases.
struct RunFrontEnd {
    static constexpr bool kRefuses = true, kCloses = true;
    Ending convert(OutputKind kind, const std::vector<std::string>& rows, const std::string& output,
                   bool closeDuringRun) {
        ScriptedRunHost host;
        host.folderAnswer = output;
        host.cancelAfterYields = closeDuringRun ? 6 : 0;
        RunSummary s = RunConversion(host, kind, rows, DefaultRunSettings("/opt/q/manual.html"));
        EXPECT_EQ(s.cancelled, closeDuringRun);
        Ending e;
        for (const auto& box : host.boxes) e.add(box.title, box.text);
        e.optionKept = host.optionsCleared == 0;
        // Convert is off during the run, and on again after it unless the program is ending.
        std::vector<bool> convertEnabled;
        if (s.started) convertEnabled = {false, true};
        if (closeDuringRun) convertEnabled.pop_back();
        EXPECT_EQ(host.convertEnabled, convertEnabled);
        return e;
    }
};

}  // namespace

namespace quill::testing {
INSTANTIATE_TYPED_TEST_SUITE_P(Run, FrontEndCases, RunFrontEnd);
}

namespace {

class RunTest : public RunFolders<ScriptedRunHost> {};

TEST(MailboxOutputFolder, KeepsTheMailboxPathBelowTheOutputFolder) {
    struct Row {
        const char* output;
        const char* mailbox;
        const char* expected;
    } rows[] = {
        {"/out", "/Mail/Inbox.mbox", "/out/Mail/Inbox.mbox"},
        {"/out/", "/Mail/Inbox.mbox", "/out/Mail/Inbox.mbox"},
        {"/", "/Mail/Inbox.mbox", "/Mail/Inbox.mbox"},
        // Nothing climbs out of the output folder.
        {"/out", "/../../etc/a.mbox", "/out/etc/a.mbox"},
        {"/out", "../a.mbox", "/out/a.mbox"},
        {"/out", "/Mail/Inbox.mbox/", "/out/Mail/Inbox.mbox"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(MailboxOutputFolder(r.output, r.mailbox), r.expected) << r.mailbox;
}

// (The PST run test has the common names: an .mbox and an .MBOX mailbox, a bundle.)
TEST(StoreFolderName, DropsMboxEndingsAndNamesBundlesAfterTheirFolder) {
    struct Row {
        const char* mailbox;
        const char* expected;
    } rows[] = {
        {"/m/Inbox.Mbox", "Inbox.Mbox"},
        {"/m/Inbox.mbx", "Inbox.mbx"},
        {"/m/a.mbox.mbox", "a"},
        {"/m/ Sent.mbox ", "Sent"},
        {"/m/Work/mbox", "mbox"},
        // A name that would be empty: a store folder must have one.
        {"/m/.mbox", ".mbox"},
        {"/m/.mbox.MBOX", ".mbox.MBOX"},
        {"/m/ .mbox", ".mbox"},
    };
    for (const auto& r : rows) EXPECT_EQ(StoreFolderName(r.mailbox), r.expected) << r.mailbox;
}

// A folder that cannot be made fails its mailbox only; the window's end box names twenty
// mailboxes and counts the rest, so that it fits on the screen.
TEST_F(RunTest, RecordsFailedMailboxesAndConvertsTheOthers) {
    fs::path good = in_ / "good.mbox", empty = in_ / "empty.mbox";
    fs::path blocked = root_ / "blocked" / "b.mbox";
    WriteFile(good, "From a\nX: 1\n");
    WriteFile(blocked, "From b\nX: 2\n");
    WriteFile(empty, "");
    // A file where the blocked mailbox's output folder would go: that folder cannot be made.
    WriteFile(out_ / fs::path(root_ / "blocked").relative_path(), "in the way");
    std::vector<std::string> rows = {blocked.string()};
    for (int i = 0; i < 20; ++i) rows.push_back((in_ / ("gone" + std::to_string(i))).string());
    rows.push_back(empty.string());
    rows.push_back(good.string());

    RunSummary s = RunConversion(host_, OutputKind::EML, rows);

    ASSERT_EQ(s.failures.size(), 21u);
    EXPECT_EQ(s.failures[0].mailbox, blocked.string());
    EXPECT_NE(s.failures[0].reason.find("output folder"), std::string::npos);
    const std::string& end = host_.boxes.back().text;
    EXPECT_EQ(end.rfind("1 of 23 mailboxes were converted.", 0), 0u) << end;
    EXPECT_NE(end.find(rows[19] + "\r\n"), std::string::npos) << end;
    EXPECT_EQ(end.find(rows[20]), std::string::npos) << end;
    const std::string tail = "\r\nand 1 more\r\n\r\nNo message was found in:\r\nand 1 more";
    EXPECT_TRUE(end.ends_with(tail)) << end;
}

// A mailbox of the MIME fixtures (alternatives with several recipients, a forwarded message
// with an attachment of its own, an empty attachment) and of attachment names that are paths,
// device names or control characters leaves one .msg file per message and nothing else. Each is
// what the writer makes of its message (the writer's own tests read such files with independent
// readers), but for the creation and modification times the import stamps.
TEST_F(RunTest, MsgRunLeavesWhatTheWriterMakesOfEachMessage) {
    fs::path mailbox = in_ / "Inbox.mbox";
    std::string bytes;
    for (const char* name : {"alternative-plain-and-html.eml",
                             "forwarded-message-with-attachment.eml", "zero-byte-attachment.eml"})
        bytes += ReadFile(fs::path(QUILL_TEST_DATA) / "mime" / name);
    bytes +=
        "From x\nSubject: names\nDate: Mon, 5 Jan 2026 10:00:00 +0000\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=b\n\n"
        "--b\nContent-Type: text/plain\n\nhi\n";
    for (const char* name : {"../../../../outside.txt", "/etc/cron.d/evil", "..", "CON", "NUL.txt",
                             "lpt1", "a\\\\..\\\\b.txt", "tab\\there", "dir/sub/file.bin"})
        bytes += std::string(
                     "--b\nContent-Type: application/octet-stream\n"
                     "Content-Disposition: attachment; filename=\"") +
                 name + "\"\nContent-Transfer-Encoding: base64\n\nQUJD\n";
    bytes +=
        "--b\nContent-Type: application/octet-stream\nContent-Disposition: attachment; "
        "filename*=UTF-8''ctl%01%0D%0A%1B%5B2J%00end%2F..%2F..\n\nABC\n--b--\n";
    WriteFile(mailbox, bytes);
    RunSummary s = RunConversion(host_, OutputKind::MSG, {mailbox.string()},
                                 DefaultRunSettings("/opt/quillmere/manual.html"));
    EXPECT_EQ(s.storeFailure, "");
    const fs::path folder = outFor(mailbox), rel = folder.lexically_relative(out_);
    EXPECT_EQ(FilesBelow(out_),
              (std::vector<std::string>{rel / "Email-0.msg", rel / "Email-1.msg",
                                        rel / "Email-2.msg", rel / "Email-3.msg"}));
    // The file without the values of PidTagCreationTime and PidTagLastModificationTime.
    auto untimed = [](std::string file) {
        for (const char* tag : {"\x40\x00\x07\x30", "\x40\x00\x08\x30"})
            for (size_t at = 0; (at = file.find(std::string(tag, 4), at)) != std::string::npos;)
                file.replace(at + 8, 8, 8, '\0'), at += 16;
        return file;
    };
    ScriptedRunHost emlHost;
    emlHost.folderAnswer = (root_ / "eml").string();
    RunConversion(emlHost, OutputKind::EML, {mailbox.string()}, RunSettings{});
    for (const std::string k : {"0", "1", "2", "3"}) {
        const fs::path eml = root_ / "eml" / mailbox.relative_path() / ("Email-" + k + ".eml");
        const fs::path own = root_ / ("own-" + k + ".msg");
        ASSERT_TRUE(store::msg::WriteMsgFile(store::mime::ImportMessageFile(eml).message, own));
        EXPECT_TRUE(untimed(ReadFile(folder / ("Email-" + k + ".msg"))) == untimed(ReadFile(own)))
            << k;
    }
}

}  // namespace
