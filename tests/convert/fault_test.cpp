// Faults around a conversion run: a full output disk, an output folder that cannot be
// written, mailboxes that vanish, shrink or cannot be read. Each must end without a crash,
// with the failed mailbox and the system's reason in the end box, no partial file under a
// final name, and the other mailboxes converted. A mailbox folder where no working copy can
// be made is no fault: its mailboxes convert.
//
// Full file systems are small tmpfs mounts made by the test, which needs root
// (or CAP_SYS_ADMIN): without it those cases are skipped and say why. Missing read or write
// rights do not stop root, so those cases run in a child process as the user "nobody".

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>

#include "convert/message_text.h"
#include "convert/store_outputs.h"
#include "run_support.h"

namespace fs = std::filesystem;
using namespace quill;
using namespace quill::testing;

namespace {

using Host = ScriptedRunHost;

std::string Mailbox(int messages, size_t bodyBytes) {
    std::string box;
    for (int i = 0; i < messages; ++i)
        box += "From m" + std::to_string(i) + "\nSubject: " + std::to_string(i) + "\n\n" +
               std::string(bodyBytes, 'b') + "\n";
    return box;
}

// Every file below a folder whose name is not that of a whole message file or mailbox:
// partial files (.part) and working copies (.tmp).
std::vector<std::string> Leftovers(const fs::path& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string ext = it->path().extension().string();
        if (it->is_regular_file() && ext != ".eml" && ext != ".mbox") out.push_back(it->path());
    }
    return out;
}

// Every message file of a mailbox output folder is whole: its text is exactly that of its
// message in the mailbox. Returns how many there are.
size_t CheckWholeFiles(const fs::path& folder, const std::string& box) {
    std::vector<size_t> starts;
    for (size_t at = 0; (at = box.find("From ", at)) != std::string::npos; at += 5)
        if (at == 0 || box[at - 1] == '\n') starts.push_back(at);
    size_t files = 0;
    for (size_t k = 0; k < starts.size(); ++k) {
        fs::path file = folder / ("Email-" + std::to_string(k) + ".eml");
        if (!fs::exists(file)) continue;
        ++files;
        size_t end = k + 1 < starts.size() ? starts[k + 1] : box.size();
        EXPECT_EQ(ReadFile(file), MessageFileText(box.substr(starts[k], end - starts[k]))) << file;
    }
    return files;
}

// Empty when other users can enter every folder down to `folder`; otherwise which one they
// cannot (a run as another user cannot reach the test's files then).
std::string NotEnterableByOthers(const fs::path& folder) {
    for (fs::path p = folder; p != p.root_path(); p = p.parent_path())
        if ((fs::status(p).permissions() & fs::perms::others_exec) == fs::perms::none)
            return p.string() + " cannot be entered by other users";
    return {};
}

// Runs fn as the user "nobody" in a child process when this process is root (whose rights
// bypass file modes); otherwise in this process. fn returns a report as text.
std::string AsUnprivilegedUser(const std::function<std::string()>& fn) {
    if (::geteuid() != 0) return fn();
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string report = (::setgid(65534) == 0 && ::setuid(65534) == 0)
                                 ? fn()
                                 : std::string("could not become nobody");
        ssize_t w = ::write(fds[1], report.data(), report.size());
        (void)w;
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) report.append(buf, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) report += "\nthe child crashed";
    return report;
}

std::string Describe(const RunSummary& s, const Host& host) {
    std::string text = "converted " + std::to_string(s.converted) + "\n";
    for (const auto& f : s.failures) text += "failed " + f.mailbox + ": " + f.reason + "\n";
    text += "boxes " + std::to_string(host.boxes.size()) + "\n";
    if (!host.boxes.empty()) text += "box " + host.boxes.back().text + "\n";
    return text;
}

class FaultTest : public RunFolders<Host> {
  protected:
    // The end box says what failed, with the reason; Convert is back and the options cleared.
    void expectFailureBox(const std::vector<std::string>& mentions) {
        ASSERT_FALSE(host_.boxes.empty());
        const auto& box = host_.boxes.back();
        EXPECT_EQ(box.icon, MsgIcon::Exclamation);
        for (const auto& m : mentions) EXPECT_NE(box.text.find(m), std::string::npos) << box.text;
    }
};

TEST_F(FaultTest, FullOutputDiskStopsTheRunWithWholeFilesOnly) {
    SmallDisk disk(out_, "size=256k,nr_inodes=200");
    if (!disk.why.empty()) GTEST_SKIP() << disk.why;
    const std::string smallBox = Mailbox(3, 100), bigBox = Mailbox(40, 20000);
    fs::path a = in_ / "a.mbox", big = in_ / "big.mbox", c = in_ / "c.mbox";
    WriteFile(a, smallBox);
    WriteFile(big, bigBox);
    WriteFile(c, smallBox);

    RunSummary s = RunConversion(host_, OutputKind::EML, {a, big, c});

    EXPECT_TRUE(s.stoppedNoSpace);
    expectFailureBox({"1 of 3 mailboxes were converted.", "output disk is full", big.string(),
                      "No space left on device"});
    EXPECT_EQ(CheckWholeFiles(outFor(a), smallBox), 3u);
    const size_t written = CheckWholeFiles(outFor(big), bigBox);
    ASSERT_GT(written, 0u);
    // The caption keeps the last message written, as after a run that went well.
    EXPECT_EQ(host_.lastCaption(Caption::LblProgress),
              "Saved Email-" + std::to_string(written - 1) + " Message");
    EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
    EXPECT_EQ(Leftovers(in_), std::vector<std::string>{});
}

// As a user without the rights: a mailbox that cannot be read and an output folder that
// cannot be written fail with the reason. A mailbox in a folder the user may not write to
// (a mail spool, another user's share) converts: with no working copy possible beside it,
// the search reads the mailbox itself. A working copy left there by a crashed run is a
// second name of its mailbox and cannot be deleted: nothing is written through it either.
TEST_F(FaultTest, MissingRightsFailWithTheReasonButAFolderWithoutWriteRightsConverts) {
    const fs::path a = in_ / "a.mbox", secret = in_ / "secret.mbox", b = in_ / "sub" / "b.mbox";
    const fs::path locked = in_ / "locked", box = locked / "inbox.mbox", old = locked / "old.mbox";
    for (const auto& p : {a, secret, b, box}) WriteFile(p, Mailbox(2, 10));
    WriteFile(old, Mailbox(3, 10));
    fs::create_hard_link(old, locked / "old.mbox.tmp");
    fs::create_directories(outFor(b));
    // Everything open to everyone but the secret mailbox, b's output folder and the locked one.
    for (const auto& p : {root_, in_, in_ / "sub", out_, a, b, box, old})
        fs::permissions(p, fs::perms::all);
    for (fs::path p = outFor(b).parent_path(); p != out_; p = p.parent_path())
        fs::permissions(p, fs::perms::all);
    fs::permissions(secret, fs::perms::none);
    const fs::perms readOnly = fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec;
    fs::permissions(outFor(b), readOnly);
    fs::permissions(locked, readOnly);
    if (::geteuid() == 0) {
        ::chown(outFor(b).c_str(), 0, 0);
        ::chown(locked.c_str(), 0, 0);
    }
    if (std::string why = NotEnterableByOthers(root_); !why.empty()) GTEST_SKIP() << why;

    std::string report = AsUnprivilegedUser([&] {
        Host host;
        host.folderAnswer = out_.string();
        RunSummary s = RunConversion(host, OutputKind::EML, {secret, a, b, box, old});
        return Describe(s, host);
    });

    fs::permissions(locked, fs::perms::all);
    EXPECT_NE(report.find("converted 3\n"), std::string::npos) << report;
    EXPECT_NE(report.find("failed " + secret.string() + ": "), std::string::npos) << report;
    EXPECT_NE(report.find("failed " + b.string() + ": "), std::string::npos) << report;
    EXPECT_NE(report.find("Permission denied"), std::string::npos) << report;
    EXPECT_NE(report.find("box 3 of 5 mailboxes were converted."), std::string::npos) << report;
    EXPECT_EQ(CheckWholeFiles(outFor(a), Mailbox(2, 10)), 2u);
    EXPECT_EQ(CheckWholeFiles(outFor(box), Mailbox(2, 10)), 2u);
    EXPECT_EQ(CheckWholeFiles(outFor(old), Mailbox(3, 10)), 3u);
    EXPECT_EQ(ReadFile(old), Mailbox(3, 10));
    EXPECT_EQ(FilesBelow(locked),
              (std::vector<std::string>{"inbox.mbox", "old.mbox", "old.mbox.tmp"}));
    EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
}

// Mailboxes that cannot be read fail clearly, without hanging: pipes, devices and folders
// listed as mailboxes, and mailboxes deleted or cut short by someone else once their search is
// done, before their messages are cut. The messages before a cut are whole, the one across it
// absent.
TEST_F(FaultTest, MailboxesThatCannotBeReadFailClearly) {
    const std::string box = Mailbox(6, 3000);
    fs::path gone = in_ / "gone.mbox", shrunk = in_ / "shrunk.mbox", a = in_ / "a.mbox";
    fs::path tailCut = in_ / "tail-cut.mbox", pipe = in_ / "pipe.mbox", folder = in_ / "f.mbox";
    for (const auto& p : {gone, shrunk, tailCut, a}) WriteFile(p, box);
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0) << std::strerror(errno);
    fs::create_directories(folder);
    int mailbox = 0;
    host_.onCaption = [&](Caption which, const std::string& text) {
        if (which == Caption::LblProgessCurrent) ++mailbox;
        if (which != Caption::LblEmlsFound || text.empty()) return;
        if (mailbox == 1) fs::remove(gone);
        if (mailbox == 2) fs::resize_file(shrunk, box.size() / 2);
        if (mailbox == 3) fs::resize_file(tailCut, box.size() - 10);  // within the last message
    };

    RunSummary s = RunConversion(host_, OutputKind::EML,
                                 {gone, shrunk, tailCut, pipe, "/dev/zero", folder, a});

    ASSERT_EQ(s.failures.size(), 6u) << Describe(s, host_);
    const std::string reasons[] = {"No such file or directory",
                                   "ends at offset " + std::to_string(box.size() / 2),
                                   "ends at offset " + std::to_string(box.size() - 10),
                                   "is not a file",
                                   "is not a file",
                                   "is not a file"};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_NE(s.failures[i].reason.find(reasons[i]), std::string::npos) << s.failures[i].reason;
    expectFailureBox({"1 of 7 mailboxes were converted.", gone.string(), shrunk.string(),
                      tailCut.string(), pipe.string(), "/dev/zero"});
    EXPECT_EQ(CheckWholeFiles(outFor(tailCut), box), 5u);
    EXPECT_EQ(CheckWholeFiles(outFor(shrunk), box), 3u);
    EXPECT_EQ(CheckWholeFiles(outFor(a), box), 6u);
    EXPECT_EQ(Leftovers(out_), std::vector<std::string>{});
    EXPECT_EQ(Leftovers(in_), std::vector<std::string>{});
}

}  // namespace
