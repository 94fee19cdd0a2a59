// The .msg writer, checked by readers we did not write, olefile (storages, streams, every
// property as the model holds it), msgreader (the outline: subjects, attachments, recipients,
// attached messages) and msgconvert (the file back to an Internet message), and
// by our raw compound-file checker (sector chains, allocation tables, directory trees), over
// the messages made below and every message file of the MIME import's fixtures.

#include "store/msg/msg_writer.h"

#include <fcntl.h>
#include <glib.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>

#include "../../support/files.h"
#include "../../support/scratch_dir.h"
#include "store/mime/import.h"

namespace quill::store::msg {
namespace {

namespace fs = std::filesystem;
using quill::testing::ReadFile;
using quill::testing::ScratchDir;
using quill::testing::WriteFile;
using ::testing::HasSubstr;

std::string Pattern(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<char>(x >> 24);
    }
    return out;
}

// A message file: `headers`, a plain `body`, and attachments of Pattern bytes (name, size).
std::string Mime(const std::string& headers, const std::string& body,
                 const std::vector<std::pair<std::string, size_t>>& attachments = {}) {
    std::string out = "From: Ann Sender <ann@example.com>\r\nTo: Bob Reader <bob@example.org>\r\n" +
                      headers + "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n" +
                      "Content-Type: text/plain; charset=utf-8\r\n\r\n" + body + "\r\n";
    for (const auto& [name, size] : attachments) {
        const std::string data = Pattern(size, static_cast<uint32_t>(size));
        gchar* base64 = g_base64_encode(reinterpret_cast<const guchar*>(data.data()), data.size());
        out +=
            "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; "
            "filename=\"" +
            name + "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64 + "\r\n";
        g_free(base64);
    }
    return out + "--b--\r\n";
}

// The message as the import makes it of a message file.
std::unique_ptr<Message> Imported(const std::string& text) {
    mime::ImportResult r = mime::ImportMessageBuffer(
        std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    return std::make_unique<Message>(std::move(r.message));
}

// A message to write: made here, or what the import makes of a fixture.
struct Source {
    std::string label;
    std::function<std::unique_ptr<Message>()> make;
};

void PrintTo(const Source& source, std::ostream* os) {
    *os << source.label;
}

std::vector<Source> Sources() {
    std::vector<Source> out = {
        // Attachments around the mini-stream cutoff (4096) and a sector (512).
        {"UnicodeAndAttachmentSizes",
         [] {
             return Imported(
                 Mime("Subject: Отчёт 报告 تقرير 😀 Ünïcödé\r\nCc: Zoë Ægir 🐙 "
                      "<zoe@example.com>, 山田 太郎 <taro@example.jp>\r\n",
                      "Привет, 世界! 👋",
                      {{"Übersicht 概要 📎.txt", 100},
                       {"empty.bin", 0},
                       {"small.bin", 4095},
                       {"cutoff.bin", 4096},
                       {"over.bin", 5000},
                       {"sector.bin", 513}}));
         }},
        // Empty strings are left out: the format has no empty string stream.
        {"EmptyStrings",
         [] {
             auto m = Imported("From: ann@example.com\r\nSubject: empty\r\n\r\n");
             for (PropTag tag : {PidTagBody, PidTagDisplayCc}) m->props.set(tag, std::string());
             return m;
         }},
        // More than 236 FAT sectors: the header lists 109, two DIFAT sectors the rest.
        {"AttachmentAbove17MB",
         [] {
             return Imported(Mime("Subject: large\r\n", "x", {{"archive.zip", 17 << 20}}));
         }},
    };
    for (const auto& e : fs::directory_iterator(fs::path(QUILL_TEST_DATA) / "mime")) {
        std::string label = e.path().stem().string();
        std::replace(label.begin(), label.end(), '-', '_');
        out.push_back({label, [file = e.path()] {
                           return std::make_unique<Message>(
                               std::move(mime::ImportMessageFile(file).message));
                       }});
    }
    std::sort(out.begin(), out.end(), [](auto& x, auto& y) { return x.label < y.label; });
    return out;
}

// The command's exit status (-1 if it did not end normally) and what it printed, standard
// error included.
std::pair<int, std::string> Shell(const std::string& command) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    char buf[4096];
    for (size_t n; pipe != nullptr && (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;)
        out.append(buf, n);
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return {status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string Script(const std::string& name, const fs::path& file) {
    return "/usr/bin/python3 '" MSG_TEST_SCRIPTS "/" + name + "' '" + file.string() + "'";
}

bool NoOlefile() {
    static const bool missing = Shell("/usr/bin/python3 -c 'import olefile'").first != 0;
    return missing;
}

std::string Sha256(const void* data, size_t size) {
    gchar* sum =
        g_compute_checksum_for_data(G_CHECKSUM_SHA256, static_cast<const guchar*>(data), size);
    std::string out = sum;
    g_free(sum);
    return out;
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// What msg_dump.py reads of the file with olefile.
struct MsgDump {
    std::vector<std::string> errors;
    std::map<std::string, std::string> clsids;   // storage path -> hex ("" = root)
    std::map<std::string, std::string> sha256;   // stream path -> hex
    std::map<std::string, std::string> texts;    // PtypString stream path -> UTF-8 text
    std::map<std::string, std::string> headers;  // storage path -> header hex
    // storage path -> tag -> 8-byte field hex
    std::map<std::string, std::map<uint32_t, std::string>> props;
};

MsgDump DumpMsg(const fs::path& file) {
    MsgDump d;
    auto [status, out] = Shell(Script("msg_dump.py", file));
    if (status != 0 && out.empty()) d.errors.push_back("msg_dump.py failed");
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;  // fields between single blanks; the root's path is ""
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, ' ');) f.push_back(field);
        if (f.size() == 2 && f[0] == "error") {
            d.errors.push_back(FromHex(f[1]));
        } else if (f.size() == 3 && f[0] == "storage") {
            d.clsids[f[1]] = f[2];
        } else if (f.size() == 4 && f[0] == "stream") {
            d.sha256[f[1]] = f[3];
        } else if (f.size() == 3 && f[0] == "text") {
            d.texts[f[1]] = FromHex(f[2]);
        } else if (f.size() == 3 && f[0] == "header") {
            d.headers[f[1]] = f[2];
        } else if (f.size() == 5 && f[0] == "prop") {
            d.props[f[1]][static_cast<uint32_t>(std::stoul(f[2], nullptr, 16))] = f[4];
        }
    }
    return d;
}

// `bytes` little-endian bytes of v, in hex as msg_dump.py prints them.
std::string LeHex(uint64_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i, v >>= 8)
        out += "0123456789abcdef"[(v >> 4) & 15] + std::string(1, "0123456789abcdef"[v & 15]);
    return out;
}

std::string Find(const std::map<std::string, std::string>& map, const std::string& key) {
    auto it = map.find(key);
    return it == map.end() ? "<missing>" : it->second;
}

std::string Numbered(const std::string& prefix, size_t index) {
    char name[24];
    std::snprintf(name, sizeof name, "%08zX", index);
    return prefix + name;
}

// What olefile reads of an object's properties at storage `at`: every string, number, time and
// binary value of the model as it is there; empty strings left out, as the format wants.
void ExpectProperties(const MsgDump& d, const PropertyBag& bag, const std::string& at) {
    const std::string prefix = at.empty() ? "" : at + "/";
    auto fields = d.props.find(at);
    ASSERT_NE(fields, d.props.end()) << at;
    for (const auto& [tag, value] : bag.tagged()) {
        if (tag == PidTagStoreSupportMask || tag == PidTagAttachMethod) continue;  // the writer's
        const std::string stream = Numbered(prefix + "__substg1.0_", tag);
        auto field = fields->second.find(tag);
        const std::string got = field == fields->second.end() ? "<missing>" : field->second;
        if (auto* s = std::get_if<std::string>(&value)) {
            EXPECT_EQ(s->empty() ? "<missing>" : *s, Find(d.texts, stream)) << stream;
        } else if (auto* b = std::get_if<Bytes>(&value)) {
            EXPECT_EQ(Find(d.sha256, stream), Sha256(b->data(), b->size())) << stream;
        } else if (auto* i = std::get_if<int32_t>(&value)) {
            EXPECT_EQ(got, LeHex(static_cast<uint32_t>(*i), 8)) << stream;
        } else if (auto* t = std::get_if<FileTime>(&value)) {
            EXPECT_EQ(got, LeHex(t->ticks, 8)) << stream;
        } else if (auto* f = std::get_if<bool>(&value)) {
            EXPECT_EQ(got, LeHex(*f, 8)) << stream;
        }
    }
}

// The message at storage `at` as olefile reads it, its recipients, attachments and attached
// messages.
void ExpectStored(const MsgDump& d, const Message& m, const std::string& at) {
    const std::string prefix = at.empty() ? "" : at + "/";
    EXPECT_EQ(Find(d.clsids, at), "00020D0B00000000C000000000000046") << at;  // a message
    ExpectProperties(d, m.props, at);
    // Header: reserved, next recipient id, next attachment id, the two counts.
    const std::string counts = LeHex(m.recipients.size(), 4) + LeHex(m.attachments.size(), 4);
    EXPECT_EQ(Find(d.headers, at), LeHex(0, 8) + counts + counts + (at.empty() ? LeHex(0, 8) : ""));
    for (size_t i = 0; i < m.recipients.size(); ++i)
        ExpectProperties(d, m.recipients[i].props, Numbered(prefix + "__recip_version1.0_#", i));
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        const Attachment& a = m.attachments[i];
        const std::string storage = Numbered(prefix + "__attach_version1.0_#", i);
        ExpectProperties(d, a.props, storage);
        if (!a.embedded) {
            EXPECT_EQ(Find(d.sha256, storage + "/__substg1.0_37010102"),
                      Sha256(a.data.data(), a.data.size()));
            continue;
        }
        // Method 5 (embedded message) and the object entry with Size 0xFFFFFFFF.
        EXPECT_EQ(d.props.at(storage).at(PidTagAttachMethod), "0500000000000000");
        EXPECT_EQ(d.props.at(storage).at(PidTagAttachDataObject), "ffffffff00000000");
        ExpectStored(d, *a.embedded, storage + "/__substg1.0_3701000D");
    }
}

class MsgRoundTrip : public ::testing::TestWithParam<Source> {};

// What msgreader_outline.js must print of a message.
std::string Outline(const Message& m) {
    std::string out = m.props.string(PidTagSubject).value_or("") + "\t" +
                      std::to_string(m.attachments.size()) + "\t" +
                      std::to_string(m.recipients.size()) + "\n";
    for (const Attachment& a : m.attachments)
        if (a.embedded) out += Outline(*a.embedded);
    return out;
}

// Written over a longer file and flushed to the disk: the checker and olefile read the message
// back, msgreader finds its outline, msgconvert turns it into an Internet message; the same
// message gives the same bytes again, also written into a longer file of the caller's, which
// then has the .msg's name.
TEST_P(MsgRoundTrip, CheckerOlefileMsgreaderAndMsgconvertReadTheMessageBack) {
    if (NoOlefile()) GTEST_SKIP() << "python3-olefile is not installed for /usr/bin/python3";
    ScratchDir folder;
    const std::unique_ptr<Message> m = GetParam().make();
    const fs::path file = folder.path() / "Email-0.msg";
    WriteFile(file, Pattern(100000, 11));
    MsgWriteOptions synced;
    synced.syncToDisk = true;
    MsgWriteResult r = WriteMsgFile(*m, file, synced);
    ASSERT_TRUE(r.ok()) << r.error;

    auto [status, said] = Shell(Script("cfb_check.py", file));  // 0: the structure is sound
    EXPECT_EQ(status, 0) << said;
    const MsgDump d = DumpMsg(file);
    for (const auto& e : d.errors) ADD_FAILURE() << e;
    ExpectStored(d, *m, "");
    EXPECT_TRUE(d.sha256.count("__nameid_version1.0/__substg1.0_00020102"));
    const fs::path callers = folder.path() / "Email-1.eml.part", again = folder.path() / "1.msg";
    WriteFile(callers, Pattern(300000, 3));
    ASSERT_TRUE(WriteMsgFile(*m, again, ::open(callers.c_str(), O_WRONLY), callers).ok());
    EXPECT_FALSE(fs::exists(callers));
    EXPECT_TRUE(ReadFile(file) == ReadFile(again));

    auto [read, outline] = Shell("NODE_PATH='" QUILL_NPM_READERS "' node '" MSG_TEST_SCRIPTS
                                 "/msgreader_outline.js' '" +
                                 file.string() + "'");
    EXPECT_EQ(read, 0) << outline;
    EXPECT_EQ(outline, Outline(*m));

    const fs::path eml = folder.path() / "Email-0.eml";
    auto [converted, told] =
        Shell("msgconvert --outfile '" + eml.string() + "' '" + file.string() + "'");
    EXPECT_EQ(converted, 0) << told;
    // Each attached message, at any depth, becomes a message/rfc822 part.
    const std::string mail = ReadFile(eml);
    size_t parts = 0;
    for (size_t at = 0; (at = mail.find("Content-Type: message/rfc822", at)) != mail.npos; ++at)
        ++parts;
    EXPECT_EQ(parts, std::ranges::count(Outline(*m), '\n') - 1);
}

INSTANTIATE_TEST_SUITE_P(Messages, MsgRoundTrip, ::testing::ValuesIn(Sources()),
                         [](const auto& info) { return info.param.label; });

// ---- The name map, which no reader shows --------------------------------------------------

// Outlook's X-Mailer (an Internet header, hashed lower-cased) and PidLidCurrentVersion (a
// number, in the attached message too), and a name of PS_MAPI: one map for the whole file.
TEST(MsgNamedProperties, MapStorageDescribesEveryNameUsedAnywhereInTheFile) {
    if (NoOlefile()) GTEST_SKIP() << "python3-olefile is not installed for /usr/bin/python3";
    ScratchDir folder;
    std::unique_ptr<Message> m = Imported(Mime("Subject: named\r\n", "x"));
    m->props.setNamed({PS_INTERNET_HEADERS, true, 0, "X-Mailer"}, PT_UNICODE,
                      std::string("Quillmere"));
    m->props.setNamed({PSETID_Common, false, 0x8552, ""}, PT_LONG, int32_t(0x1D5F00));
    m->props.set(PidTagStoreSupportMask, int32_t(1));  // the writer adds STORE_UNICODE_OK
    Message& attached =
        *(m->attachments.emplace_back().embedded = Imported(Mime("Subject: inner\r\n", "y")));
    attached.props.setNamed({PSETID_Common, false, 0x8552, ""}, PT_LONG, int32_t(7));
    attached.props.setNamed({PS_MAPI, false, 0x0037, ""}, PT_UNICODE, std::string("x"));
    fs::path file = folder.path() / "named.msg";
    ASSERT_TRUE(WriteMsgFile(*m, file).ok());

    const MsgDump d = DumpMsg(file);
    for (const auto& e : d.errors) ADD_FAILURE() << e;
    // Names in first-use order from 0x8000; GUIDs PS_MAPI index 1, then those of the GUID
    // stream from index 3: PS_INTERNET_HEADERS, PSETID_Common.
    EXPECT_EQ(d.texts.at("__substg1.0_8000001F"), "Quillmere");
    EXPECT_EQ(d.props.at("").at(0x80010003), "005f1d0000000000");
    EXPECT_EQ(d.props.at("").at(PidTagStoreSupportMask), LeHex(1 | 0x40000, 8));
    const std::string inner = "__attach_version1.0_#00000000/__substg1.0_3701000D";
    EXPECT_EQ(d.props.at(inner).at(0x80010003), "0700000000000000");
    EXPECT_EQ(d.texts.at(inner + "/__substg1.0_8002001F"), "x");
    // Entries: the name's offset in the string stream or its LID, the GUID index times two
    // plus 1 for a string, the property index.
    const std::string entries = FromHex(
        "0000000007000000"
        "5285000008000100"
        "3700000002000200");
    EXPECT_EQ(d.sha256.at("__nameid_version1.0/__substg1.0_00030102"),
              Sha256(entries.data(), entries.size()));
    // "x-mailer" hashes into stream 0x100F: Microsoft's protocol team gave its CRC, 0xFF504E89
    // (zlib's CRC-32 gives 0x13EB05DC), and with GUID index 3 the stream.
    EXPECT_TRUE(d.sha256.count("__nameid_version1.0/__substg1.0_100F0102"));
}

// ---- Failures: said clearly, and never a partial file under the final name ---------------

bool HasTemporaryFiles(const fs::path& folder) {
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().extension() == ".tmp") return true;
    return false;
}

// A front end that asks to stop at once.
struct StoppingFrontend : SilentFrontend {
    bool cancelRequested() const override { return true; }
};

// A missing folder, a disk that fills part way through a message built in memory or one
// streamed to the file (a file-size limit fails the writes as a full disk would), a folder in
// the way (also of a write into a file of the caller's), more attachments than the format
// holds, a stop asked for while a large attachment is streamed: the error says what and where,
// the file under the final name stays as it was, and no temporary file is left, nor the
// caller's file.
TEST(MsgWriteFailure, SaysWhatAndWhereAndLeavesTheOldFile) {
    enum Way { kWrite, kIntoCallersFile, kStopped };  // kStopped: the front end asks to stop
    struct Case {
        const char* target;
        size_t attachmentSize, attachments;
        rlim_t sizeLimit;  // 0: none
        Way way;
        int systemError;  // -1: any
        std::vector<std::string> said;
    } cases[] = {
        {"none/Email-0.msg", 10, 1, 0, kWrite, ENOENT, {"No such file or directory"}},
        {"Email-0.msg", 2 << 20, 1, 300 << 10, kWrite, EFBIG, {"File too large", "from offset"}},
        {"Email-0.msg", 9 << 20, 1, 300 << 10, kWrite, EFBIG, {"File too large", "from offset"}},
        {"folder", 10, 1, 0, kWrite, -1, {"final name"}},
        {"folder", 10, 1, 0, kIntoCallersFile, -1, {"final name"}},
        {"Email-0.msg", 0, 2049, 0, kWrite, 0, {"2048"}},
        {"Email-0.msg", 9 << 20, 1, 0, kStopped, 0, {"stopped at the user's request"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said[0]);
        ScratchDir folder;
        const fs::path file = folder.path() / c.target,
                       callers = folder.path() / "Email-0.eml.part";
        if (c.target == std::string("folder"))
            fs::create_directories(file / "inside");  // a non-empty folder cannot be replaced
        else if (fs::exists(file.parent_path()))
            WriteFile(file, "old");
        std::unique_ptr<Message> m =
            Imported(Mime("Subject: x\r\n", "x", {{"big.bin", c.attachmentSize}}));
        m->attachments.resize(c.attachments);
        StoppingFrontend stopping;
        YieldClock clock(stopping, std::chrono::milliseconds(0));
        MsgWriteOptions options;
        if (c.way == kStopped) options.yieldClock = &clock;
        if (c.way == kIntoCallersFile) WriteFile(callers, Pattern(5000, 4));

        struct rlimit saved;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved;
        if (c.sizeLimit != 0) small.rlim_cur = c.sizeLimit;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        MsgWriteResult r =
            c.way == kIntoCallersFile
                ? WriteMsgFile(*m, file, ::open(callers.c_str(), O_WRONLY), callers, options)
                : WriteMsgFile(*m, file, options);
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, oldHandler);

        EXPECT_FALSE(r.ok());
        EXPECT_EQ(r.cancelled, c.way == kStopped);
        EXPECT_TRUE(c.systemError < 0 || r.systemError == c.systemError) << r.systemError;
        for (const std::string& text : c.said) EXPECT_THAT(r.error, HasSubstr(text));
        EXPECT_TRUE(c.systemError == 0 || r.error.find(file.string()) != std::string::npos);
        EXPECT_TRUE(!fs::is_regular_file(file) || ReadFile(file) == "old");
        EXPECT_FALSE(HasTemporaryFiles(folder.path()));
        EXPECT_FALSE(fs::exists(callers));
    }
}

}  // namespace
}  // namespace quill::store::msg
