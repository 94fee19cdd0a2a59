#pragma once
// The cases every front end of the conversion run shares, written once: the window
// (tests/app), the run driven directly (tests/convert) and the command line (tests/cli) each
// run them through a front end of their own, a type with
//
//   static constexpr bool kRefuses, kCloses;  // it has options and a folder dialog / a window
//   Ending convert(OutputKind kind, const std::vector<std::string>& rows,
//                  const std::string& output, bool closeDuringRun);
//
// where kind None is no option chosen, an empty output a cancelled folder dialog, and
// closeDuringRun closes the window while the run goes on. Then
//   INSTANTIATE_TYPED_TEST_SUITE_P(Window, FrontEndCases, WindowFrontEnd);

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "convert/run.h"
#include "files.h"
#include "scratch_dir.h"

namespace quill::testing {

// What a front end showed of a run.
struct Ending {
    // Every message box in order as a terminal shows it: "title: " unless the title is the
    // program's own, the text with LF line ends, one LF.
    std::string shown;
    // The option chosen before the run is still chosen (a run clears it, a refusal does not);
    // nothing when the front end has no options.
    std::optional<bool> optionKept;
    std::optional<int> exitStatus;

    void add(const std::string& title, const std::string& text) {
        if (title != "Quillmere") shown += title + ": ";
        std::string lines;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            lines += text[i] == '\r' ? '\n' : text[i];
        }
        while (!lines.empty() && lines.back() == '\n') lines.pop_back();
        shown += lines + "\n";
    }
};

// Every file below a folder, as paths relative to it, sorted.
inline std::vector<std::string> FilesBelow(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file()) out.push_back(fs::relative(it->path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

template <class FrontEnd>
class FrontEndCases : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directories(out_); }
    std::string mailbox(const std::string& name, const std::string& bytes) {
        WriteFile(in_ / name, bytes);
        return (in_ / name).string();
    }
    std::filesystem::path outFor(const std::string& mailbox) {
        return out_ / std::filesystem::path(mailbox).relative_path();
    }
    Ending convert(OutputKind kind, const std::vector<std::string>& rows, bool close = false) {
        return frontEnd_.convert(kind, rows, out_.string(), close);
    }

    ScratchDir scratch_;
    std::filesystem::path root_ = scratch_.path(), in_ = root_ / "in", out_ = root_ / "out";
    FrontEnd frontEnd_;
};

TYPED_TEST_SUITE_P(FrontEndCases);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FrontEndCases);

// No option, no mailbox or no output folder: the run does not start and nothing changes.
TYPED_TEST_P(FrontEndCases, RefusesWithoutOptionMailboxesOrFolder) {
    if (!TypeParam::kRefuses) GTEST_SKIP() << "usage errors are the command line's own test";
    const std::string a = this->mailbox("a.mbox", "From a\nX: 1\n");
    struct Row {
        OutputKind kind;
        std::vector<std::string> rows;
        std::string output;
        const char* shown;
    } rows[] = {
        {OutputKind::None, {a}, this->out_, "Please select a option to convert file(s).\n"},
        {OutputKind::EML, {}, this->out_, "There are no mailbox files in the list.\n"},
        {OutputKind::EML, {a}, "", ""},  // the folder dialog cancelled
    };
    for (const Row& r : rows) {
        Ending e = this->frontEnd_.convert(r.kind, r.rows, r.output, false);
        EXPECT_EQ(e.shown, r.shown);
        EXPECT_EQ(e.optionKept, true) << r.shown;
        EXPECT_EQ(FilesBelow(this->root_), std::vector<std::string>{"in/a.mbox"});
    }
}

// One end box: success, or how many mailboxes were converted, which were not and why, and the
// files that held no message; the command line exits with 1 for the latter.
TYPED_TEST_P(FrontEndCases, EndBoxSaysWhatWasConvertedAndWhatWasNot) {
    const std::string lf = this->mailbox("lf.mbox", "From a\nSubject: 1\n\nbody\nFrom b\nX: 2\n");
    const std::string crlf = this->mailbox("crlf.mbox", "From c\r\nX: 1\r\n\r\nhi\r\n");
    const std::string none = this->mailbox("none.mbx", "no message in here\n");
    const std::string gone = (this->in_ / "gone.mbox").string();

    Ending e = this->convert(OutputKind::EML, {lf, crlf});
    EXPECT_EQ(e.shown, "Your messages from MBOX files has been successfully exported.\n" +
                           std::string(75, '*') + "\n");
    EXPECT_EQ(e.optionKept.value_or(false), false);
    EXPECT_EQ(e.exitStatus.value_or(0), 0);
    EXPECT_EQ(ReadFile(this->outFor(lf) / "Email-1.eml"), "From b\r\nX: 2\r\n\r\n");
    EXPECT_EQ(ReadFile(this->outFor(crlf) / "Email-0.eml"), "From c\r\nX: 1\r\n\r\nhi\r\n\r\n");

    e = this->convert(OutputKind::EMLX, {gone, lf, none});
    // The reader's own box for the missing file, then the end box.
    EXPECT_EQ(e.shown.rfind("Ombrex File Reader: File not found !\n1 of 3 mailboxes were "
                            "converted.\n\nThese mailboxes could not be converted:\n" +
                                gone + "\n    Mailbox ",
                            0),
              0u)
        << e.shown;
    EXPECT_NE(e.shown.find(std::strerror(ENOENT)), std::string::npos) << e.shown;
    EXPECT_TRUE(e.shown.ends_with("\n\nNo message was found in:\n" + none + "\n")) << e.shown;
    EXPECT_EQ(e.exitStatus.value_or(1), 1);
    EXPECT_TRUE(std::filesystem::exists(this->outFor(lf) / "Email-1.emlx"));
    EXPECT_EQ(FilesBelow(this->outFor(none)), std::vector<std::string>{});
    // No working copy is left beside any mailbox.
    EXPECT_EQ(FilesBelow(this->in_),
              (std::vector<std::string>{"crlf.mbox", "lf.mbox", "none.mbx"}));
}

// Closing the window ends the run at once, without an end box: no partial file under any
// name, the message files done an unbroken run from the first, none at all of a PST run
// (what was stored is in the store). (The reader's tests remove its working copy on an end.)
TYPED_TEST_P(FrontEndCases, ClosingTheWindowEndsTheRunWithoutABox) {
    if (!TypeParam::kCloses) GTEST_SKIP() << "the command line has no window to close";
    std::string box;
    for (int i = 0; i < 2000; ++i) box += "From x\nSubject: " + std::to_string(i) + "\n\nbody\n";
    std::vector<std::string> rows;
    for (int i = 0; i < 3; ++i)
        rows.push_back(this->mailbox("m" + std::to_string(i) + ".mbox", box));
    for (OutputKind kind : {OutputKind::EML, OutputKind::MSG, OutputKind::PST}) {
        SCOPED_TRACE(OutputKindName(kind));
        std::filesystem::remove_all(this->out_);
        std::filesystem::create_directories(this->out_);
        Ending e = this->convert(kind, rows, true);
        EXPECT_EQ(e.shown, "");
        const std::string ext = kind == OutputKind::MSG ? ".msg" : ".eml";
        for (const std::string& row : rows) {
            const std::vector<std::string> files = FilesBelow(this->outFor(row));
            EXPECT_TRUE(kind != OutputKind::PST || files.empty());
            for (size_t k = 0; k < files.size(); ++k)
                EXPECT_TRUE(std::filesystem::exists(this->outFor(row) /
                                                    ("Email-" + std::to_string(k) + ext)))
                    << k;
        }
        EXPECT_FALSE(std::filesystem::exists(this->outFor(rows.back()) / ("Email-1999" + ext)));
    }
}

// A store that fails (here a .msg file that cannot be written) ends the run on the Outlook
// box with the real cause on one line and the manual's troubleshooting address. What was
// written stays, nothing half-made is left, and the next mailbox never starts.
TYPED_TEST_P(FrontEndCases, AStoreThatFailsEndsTheRunOnTheOutlookBox) {
    const std::string a = this->mailbox("a.mbox", "From a\nX: 1\n\nbody\nFrom b\nX: 2\n");
    const std::string b = this->mailbox("b.mbox", "From c\nX: 3\n");
    const std::filesystem::path blocked = this->outFor(a) / "Email-1.msg";
    std::filesystem::create_directories(blocked / "inside");

    Ending e = this->convert(OutputKind::MSG, {a, b});

    const std::string head = "Outlook Error: Outlook Session Creation Error !\n";
    ASSERT_EQ(e.shown.rfind(head, 0), 0u) << e.shown;
    const size_t causeEnd = e.shown.find('\n', head.size());
    const std::string cause = e.shown.substr(head.size(), causeEnd - head.size());
    EXPECT_NE(cause.find(blocked.string()), std::string::npos) << cause;
    EXPECT_NE(cause.find("final name"), std::string::npos) << cause;
    EXPECT_NE(cause.find(std::strerror(EISDIR)), std::string::npos) << cause;
    const std::string link = e.shown.substr(causeEnd + 1);
    EXPECT_EQ(link.rfind("For more details visit this link : file://", 0), 0u) << link;
    EXPECT_TRUE(link.ends_with("manual.html#troubleshooting\n")) << link;
    EXPECT_EQ(e.optionKept.value_or(false), false);
    EXPECT_EQ(e.exitStatus.value_or(1), 1);
    EXPECT_EQ(FilesBelow(this->outFor(a)), std::vector<std::string>{"Email-0.msg"});
    EXPECT_FALSE(std::filesystem::exists(this->outFor(b)));
}

REGISTER_TYPED_TEST_SUITE_P(FrontEndCases, RefusesWithoutOptionMailboxesOrFolder,
                            EndBoxSaysWhatWasConvertedAndWhatWasNot,
                            ClosingTheWindowEndsTheRunWithoutABox,
                            AStoreThatFailsEndsTheRunOnTheOutlookBox);

}  // namespace quill::testing
