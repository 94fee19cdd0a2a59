// The import's text against mailparser (npm), a MIME reader nobody here wrote, over awkward
// messages that tests/store/mime/mime_differential.js generates: encoded words of every shape,
// undeclared 8-bit text, folded and very long lines, groups and comments in address lists,
// attachment names in every encoding, and a body in every charset label the import knows.
// Where the import reads a message otherwise on purpose, the difference is listed below with
// its reason; any other difference fails.

#include <glib.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../../support/from_base64.h"
#include "store/mime/import.h"
#include "store/mime/text.h"

namespace quill::store::mime {
namespace {

namespace fs = std::filesystem;
using quill::testing::FromBase64;

struct Difference {
    const char* caseName;
    const char* key;
    const char* reason;
};

const Difference kOnPurpose[] = {
    {"split-character", "subject",
     "a character split across two encoded words: mailparser decodes each word to text on its "
     "own and gives U+FFFD; we join the words' bytes first, as RFC 2047 readers should"},
    {"undeclared-latin1", "from",
     "undeclared 8-bit header text that is not UTF-8: mailparser gives U+FFFD, we read it as "
     "Windows-1252, as mail programs of the regions that send such mail do"},
    {"undeclared-latin1", "subject", "as for the sender"},
    {"encoded-name-with-comma", "from",
     "mailparser splits a decoded name at its comma and joins the pieces with two blanks"},
    {"body-chinese", "text",
     "mailparser reads the label chinese as GBK without GB18030's four-byte sequences, which "
     "the Encoding Standard's GBK decoder reads"},
    {"body-csiso2022jp", "text", "mailparser does not know this label of ISO-2022-JP"},
    {"body-utf-7", "text", "mailparser leaves UTF-7 undecoded"},
    {"body-unicode-1-1-utf-7", "text", "mailparser leaves UTF-7 undecoded"},
};

std::string Trimmed(std::string s) {
    std::erase(s, '\r');
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// The HTML body as text, read in its code page as a mail program would.
std::string HtmlText(const Bytes& html, int codePage) {
    std::string bytes(html.begin(), html.end());
    if (codePage == 65001) return bytes;
    if (codePage == 1252) return Windows1252ToUtf8(bytes);
    gchar* text = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                            ("CP" + std::to_string(codePage)).c_str(), nullptr, nullptr, nullptr);
    std::string out = text ? text : "<code page " + std::to_string(codePage) + ">";
    g_free(text);
    return out;
}

// One case as lines of "key value", in the order mailparser's lines come.
std::vector<std::string> OurReading(const ImportResult& r) {
    const Message& m = r.message;
    std::vector<std::string> lines;
    lines.push_back("subject " + m.props.string(PidTagSubject).value_or(""));
    if (m.props.has(PidTagSentRepresentingName))
        lines.push_back("from " + *m.props.string(PidTagSentRepresentingName) + " <" +
                        m.props.string(PidTagSentRepresentingEmailAddress).value_or("") + ">");
    for (int32_t type : {MAPI_TO, MAPI_CC})
        for (const Recipient& rc : m.recipients)
            if (rc.props.int32(PidTagRecipientType) == type)
                lines.push_back((type == MAPI_TO ? "to " : "cc ") +
                                rc.props.string(PidTagDisplayName).value_or("") + " <" +
                                rc.props.string(PidTagEmailAddress).value_or("") + ">");
    for (const Attachment& a : m.attachments)
        lines.push_back("attachment " + a.props.string(PidTagAttachLongFilename).value_or(""));
    if (const Bytes* html = m.props.binary(PidTagHtml))
        lines.push_back(
            "html " + Trimmed(HtmlText(*html, m.props.int32(PidTagInternetCodepage).value_or(0))));
    else
        lines.push_back("text " + Trimmed(m.props.string(PidTagBody).value_or("")));
    return lines;
}

TEST(MimeDifferential, TextAgreesWithMailparser) {
    const fs::path dir = fs::path(::testing::TempDir()) / "quill-mime-differential";
    fs::remove_all(dir);
    std::string command = "NODE_PATH='" QUILL_NPM_READERS "' node '" QUILL_TEST_DATA
                          "/../store/mime/mime_differential.js' '" +
                          dir.string() + "'";
    for (const std::string& label : KnownCharsetLabels()) command += " '" + label + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::pair<std::string, std::vector<std::string>>> theirs;  // case, lines
    char buf[65536];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) {
        std::string line = Trimmed(buf);
        const size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        const std::string key = line.substr(0, blank);
        std::string value = FromBase64(line.substr(blank + 1));
        if (key == "case")
            theirs.push_back({value, {}});
        else if (!theirs.empty())
            theirs.back().second.push_back(
                key + " " + (key == "html" || key == "text" ? Trimmed(value) : value));
    }
    ASSERT_EQ(pclose(pipe), 0) << command;
    ASSERT_GT(theirs.size(), 40u);

    for (auto& [name, want] : theirs) {
        SCOPED_TRACE(name);
        std::vector<std::string> ours = OurReading(ImportMessageFile(dir / (name + ".eml")));
        if (want.empty() || want[0].rfind("subject", 0) != 0) want.insert(want.begin(), "subject ");
        for (const Difference& d : kOnPurpose) {
            if (name != d.caseName) continue;
            auto drop = [&](std::vector<std::string>& v) {
                std::erase_if(v, [&](const std::string& l) { return l.rfind(d.key, 0) == 0; });
            };
            drop(ours);
            drop(want);
        }
        EXPECT_EQ(ours, want);
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace quill::store::mime
