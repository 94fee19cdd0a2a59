// The .msg writer, checked by readers we did not write: msgconvert (the file back to an
// Internet message, read with GMime), msgreader (npm), olefile (storages, streams, property
// streams) and a raw compound-file checker (sector chains, allocation tables, directory trees).

#include "store/msg/msg_writer.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <fstream>
#include <functional>

#include "msg_test_support.h"
#include "store/msg/cfb_writer.h"

namespace quill::store::msg {
namespace {

using namespace testing;  // the helpers of msg_test_support.h
using ::testing::HasSubstr;

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

FileTime FromUnix(int64_t seconds) {
    return FileTime{kUnixEpochAsFileTime + static_cast<uint64_t>(seconds) * 10000000ull};
}

Bytes Pattern(size_t size, uint32_t seed) {
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

// One message as a user sees it; built into the model the way the MIME import fills it, and
// compared with what the readers get back.
struct AttachmentSpec {
    std::string name;
    std::string mimeType;
    size_t size = 0;
    uint32_t seed = 0;
    // Made when needed: the table of cases is built in every test process.
    Bytes data() const { return Pattern(size, seed); }
};

struct MailSpec {
    std::string label;
    std::string subject;
    Address from;
    std::vector<Address> to, cc;
    int64_t date = 1700000000;
    std::string plain, html;
    std::vector<AttachmentSpec> attachments;
    std::shared_ptr<MailSpec> forwarded;  // attached as an embedded message, last
    bool namedProperties = false;
};

void PrintTo(const MailSpec& sample, std::ostream* os) {
    *os << sample.label;
}

std::string JoinNames(const std::vector<Address>& list) {
    std::string out;
    for (const auto& a : list) out += (out.empty() ? "" : "; ") + a.name;
    return out;
}

std::unique_ptr<Message> Build(const MailSpec& sample) {
    auto m = std::make_unique<Message>();
    PropertyBag& p = m->props;
    p.set(PidTagMessageClass, std::string("IPM.Note"));
    p.set(PidTagSubject, sample.subject);
    p.set(PidTagNormalizedSubject, sample.subject);
    for (PropTag t : {PidTagSenderName, PidTagSentRepresentingName}) p.set(t, sample.from.name);
    for (PropTag t : {PidTagSenderEmailAddress, PidTagSentRepresentingEmailAddress,
                      PidTagSenderSmtpAddress, PidTagSentRepresentingSmtpAddress})
        p.set(t, sample.from.address);
    p.set(PidTagSenderAddressType, std::string("SMTP"));
    p.set(PidTagSentRepresentingAddressType, std::string("SMTP"));
    p.set(PidTagClientSubmitTime, FromUnix(sample.date));
    p.set(PidTagMessageDeliveryTime, FromUnix(sample.date + 60));
    p.set(PidTagDisplayTo, JoinNames(sample.to));
    p.set(PidTagDisplayCc, JoinNames(sample.cc));
    p.set(PidTagBody, sample.plain);
    if (!sample.html.empty()) {
        p.set(PidTagHtml, Bytes(sample.html.begin(), sample.html.end()));
        p.set(PidTagInternetCodepage, int32_t(65001));
    }
    bool attached = !sample.attachments.empty() || sample.forwarded;
    p.set(PidTagMessageFlags, MSGFLAG_READ | (attached ? MSGFLAG_HASATTACH : 0));
    p.set(PidTagHasAttachments, attached);
    p.set(PidTagImportance, int32_t(1));

    auto addRecipients = [&](const std::vector<Address>& list, int32_t type) {
        for (const auto& a : list) {
            Recipient r;
            r.props.set(PidTagRecipientType, type);
            r.props.set(PidTagDisplayName, a.name);
            r.props.set(PidTagEmailAddress, a.address);
            r.props.set(PidTagSmtpAddress, a.address);
            r.props.set(PidTagAddressType, std::string("SMTP"));
            r.props.set(PidTagRowid, int32_t(m->recipients.size()));
            m->recipients.push_back(std::move(r));
        }
    };
    addRecipients(sample.to, MAPI_TO);
    addRecipients(sample.cc, MAPI_CC);

    for (const auto& a : sample.attachments) {
        Attachment att;
        att.props.set(PidTagAttachMethod, ATTACH_BY_VALUE);
        att.props.set(PidTagAttachLongFilename, a.name);
        att.props.set(PidTagDisplayName, a.name);
        att.props.set(PidTagAttachMimeTag, a.mimeType);
        att.props.set(PidTagAttachSize, int32_t(a.size));
        att.props.set(PidTagRenderingPosition, int32_t(-1));
        att.data = a.data();
        m->attachments.push_back(std::move(att));
    }
    if (sample.forwarded) {
        Attachment att;
        att.props.set(PidTagDisplayName, sample.forwarded->subject);
        att.props.set(PidTagAttachMimeTag, std::string("message/rfc822"));
        att.embedded = Build(*sample.forwarded);
        m->attachments.push_back(std::move(att));
    }
    if (sample.namedProperties) {
        // An Internet header, a numeric property and a multi-valued string, as Outlook keeps
        // X-Mailer, PidLidCurrentVersion and the categories (PidNameKeywords).
        p.setNamed({PS_INTERNET_HEADERS, true, 0, "X-Mailer"}, PT_UNICODE,
                   std::string("Quillmere"));
        p.setNamed({PSETID_Common, false, 0x8552, ""}, PT_LONG, int32_t(0x1D5F00));
        p.setNamed({PS_PUBLIC_STRINGS, true, 0, "Keywords"}, PT_MV_UNICODE,
                   MultiString{"Rot", "Grün", "青"});
    }
    return m;
}

std::vector<Address> People(const std::string& name, const std::string& mailbox, int count) {
    std::vector<Address> out;
    for (int i = 0; i < count; ++i) {
        out.push_back(
            {name + " " + std::to_string(i), mailbox + std::to_string(i) + "@example.org"});
    }
    return out;
}

MailSpec Plain(std::string label) {
    MailSpec s;
    s.label = std::move(label);
    s.subject = "Quarterly figures";
    s.from = {"Ann Sender", "ann@example.com"};
    s.to = {{"Bob Reader", "bob@example.org"}};
    s.cc = {{"Cid Copy", "cid@example.net"}};
    s.plain = "Hello Bob,\r\nthe figures are attached.\r\n";
    s.html = "<html><body><p>Hello Bob,</p><p>the figures are attached.</p></body></html>";
    return s;
}

std::vector<MailSpec> Cases() {
    std::vector<MailSpec> cases;
    cases.push_back(Plain("PlainAndHtml"));

    MailSpec unicode = Plain("UnicodeSubjectAndNames");
    unicode.subject = "Отчёт 报告 تقرير 😀 Ünïcödé";
    unicode.from = {"Zoë Ægir 🐙", "zoe@example.com"};
    unicode.to = {{"Дмитрий Петров", "dmitri@example.ru"}, {"山田 太郎", "taro@example.jp"}};
    unicode.cc = {};
    unicode.plain = "Привет, 世界! 👋\r\n";
    unicode.html = "<p>Привет, 世界! 👋</p>";
    unicode.attachments = {{"Übersicht 概要 📎.txt", "text/plain", 100, 1}};
    cases.push_back(unicode);

    MailSpec empty = Plain("EmptyBody");
    empty.plain.clear();
    empty.html.clear();
    cases.push_back(empty);

    MailSpec htmlOnly = Plain("HtmlOnly");
    htmlOnly.plain.clear();
    cases.push_back(htmlOnly);

    MailSpec many = Plain("ManyRecipients");
    many.to = People("To Person", "to.person", 60);
    many.cc = People("Cc Person", "cc.person", 15);
    cases.push_back(many);

    MailSpec sizes = Plain("AttachmentSizes");
    // 0 bytes; just below and at the mini-stream cutoff; above it; one more than a sector.
    sizes.attachments = {{"empty.bin", "application/octet-stream", 0, 0},
                         {"small.bin", "application/octet-stream", 4095, 2},
                         {"cutoff.bin", "application/octet-stream", 4096, 3},
                         {"over4k.pdf", "application/pdf", 5000, 4},
                         {"sector.bin", "application/octet-stream", 513, 5}};
    cases.push_back(sizes);

    MailSpec large = Plain("AttachmentAbove7MB");
    // More than 109 FAT sectors: the file needs DIFAT sectors.
    large.attachments = {{"archive.zip", "application/zip", 7500000, 6}};
    cases.push_back(large);

    MailSpec forward = Plain("ForwardedMessageWithAttachment");
    forward.subject = "Fwd: Invoice";
    auto inner = std::make_shared<MailSpec>(Plain("inner"));
    inner->subject = "Invoice 2026-11 ✓";
    inner->from = {"Billing Dept", "billing@example.com"};
    inner->to = {{"Ann Sender", "ann@example.com"}};
    inner->cc = {};
    inner->date = 1690000000;
    inner->plain = "Your invoice is attached.\r\n";
    inner->attachments = {{"invoice.pdf", "application/pdf", 6000, 7}};
    forward.forwarded = inner;
    forward.attachments = {{"notes.txt", "text/plain", 300, 8}};
    cases.push_back(forward);

    MailSpec named = Plain("NamedProperties");
    named.namedProperties = true;
    cases.push_back(named);
    return cases;
}

std::string TestName(const ::testing::TestParamInfo<MailSpec>& info) {
    return info.param.label;
}

class MsgRoundTrip : public ::testing::TestWithParam<MailSpec> {
  protected:
    void SetUp() override {
        if (std::string why = MissingPython(); !why.empty()) GTEST_SKIP() << why;
        message_ = Build(GetParam());
        file_ = folder_.path() / "Email-0.msg";
        MsgWriteResult r = WriteMsgFile(*message_, file_);
        ASSERT_TRUE(r.ok()) << r.error;
    }

    TempFolder folder_;
    std::unique_ptr<Message> message_;
    fs::path file_;
};

std::string LeHex(uint32_t v) {
    char b[9];
    std::snprintf(b, sizeof b, "%02x%02x%02x%02x", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF,
                  v >> 24);
    return b;
}

uint32_t FieldLe32(const std::string& hex) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | std::stoul(hex.substr(2 * i, 2), nullptr, 16);
    return v;
}

std::string AttachmentStorage(size_t index) {
    char name[40];
    std::snprintf(name, sizeof name, "__attach_version1.0_#%08zX", index);
    return name;
}

void ExpectStorageMatches(const MsgDump& d, const MailSpec& sample, const std::string& at) {
    const std::string prefix = at.empty() ? "" : at + "/";
    const std::string msgClsid = "00020D0B00000000C000000000000046";  // as olefile prints it
    EXPECT_EQ(d.clsids.at(at), msgClsid) << at;
    EXPECT_EQ(d.texts.at(prefix + "__substg1.0_0037001F"), sample.subject);
    if (!sample.plain.empty()) {
        EXPECT_EQ(d.texts.at(prefix + "__substg1.0_1000001F"), sample.plain);
    } else {
        // Empty strings are left out: a zero-length PtypString stream is not allowed.
        EXPECT_EQ(d.streamSizes.count(prefix + "__substg1.0_1000001F"), 0u);
    }
    if (!sample.html.empty()) {
        EXPECT_EQ(d.sha256.at(prefix + "__substg1.0_10130102"),
                  Sha256(reinterpret_cast<const uint8_t*>(sample.html.data()), sample.html.size()));
    }
    size_t attachments = sample.attachments.size() + (sample.forwarded ? 1 : 0);
    size_t recipients = sample.to.size() + sample.cc.size();
    // Header: reserved, next recipient id, next attachment id, the two counts.
    std::string counts = LeHex(recipients) + LeHex(attachments);
    std::string header = "0000000000000000" + counts + counts;
    if (at.empty()) header += "0000000000000000";
    EXPECT_EQ(d.headers.at(at), header) << at;
    for (size_t i = 0; i < sample.attachments.size(); ++i) {
        std::string name = prefix + AttachmentStorage(i) + "/__substg1.0_37010102";
        Bytes data = sample.attachments[i].data();
        EXPECT_EQ(d.streamSizes.at(name), data.size()) << name;
        EXPECT_EQ(d.sha256.at(name), Sha256(data.data(), data.size())) << name;
    }
    if (sample.forwarded) {
        std::string name = prefix + AttachmentStorage(sample.attachments.size());
        // Method 5 (embedded message) and the object entry with Size 0xFFFFFFFF.
        EXPECT_EQ(d.props.at(name).at(PidTagAttachMethod), "0500000000000000");
        EXPECT_EQ(d.props.at(name).at(PidTagAttachDataObject), "ffffffff00000000");
        ExpectStorageMatches(d, *sample.forwarded, name + "/__substg1.0_3701000D");
    }
}

TEST_P(MsgRoundTrip, CheckerAndOlefileReadTheLayoutBack) {
    CommandResult check = CheckCompoundFile(file_);
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    std::string failure;
    std::optional<MsgDump> d = DumpMsg(file_, failure);
    ASSERT_TRUE(d) << failure;
    for (const auto& e : d->errors) ADD_FAILURE() << e;
    ExpectStorageMatches(*d, GetParam(), "");
    // Unicode declared: STORE_UNICODE_OK in PidTagStoreSupportMask.
    EXPECT_NE(FieldLe32(d->props.at("").at(PidTagStoreSupportMask)) & 0x00040000u, 0u);
    EXPECT_TRUE(d->streamSizes.count("__nameid_version1.0/__substg1.0_00020102"));
    // The same message gives the same bytes.
    ASSERT_TRUE(WriteMsgFile(*message_, folder_.path() / "again.msg").ok());
    EXPECT_TRUE(ReadFile(file_) == ReadFile(folder_.path() / "again.msg"));
}

TEST_P(MsgRoundTrip, ReadersGiveBackWhatTheUserSees) {
    const MailSpec& sample = GetParam();

    std::function<void(const MailSpec&, const ConvertedMail&)> compare =
        [&](const MailSpec& want, const ConvertedMail& got) {
            EXPECT_EQ(got.subject, want.subject);
            EXPECT_EQ(got.from, want.from);
            EXPECT_EQ(got.to, want.to);
            EXPECT_EQ(got.cc, want.cc);
            EXPECT_EQ(got.date, want.date);
            EXPECT_EQ(got.plain, want.plain);
            EXPECT_EQ(got.html, want.html);
            ASSERT_EQ(got.attachments.size(), want.attachments.size());
            for (size_t i = 0; i < want.attachments.size(); ++i) {
                EXPECT_EQ(got.attachments[i].name, want.attachments[i].name);
                EXPECT_TRUE(got.attachments[i].data == want.attachments[i].data())
                    << want.attachments[i].name << ": " << got.attachments[i].data.size()
                    << " bytes back of " << want.attachments[i].size;
            }
            ASSERT_EQ(got.forwarded.size(), want.forwarded ? 1u : 0u);
            if (want.forwarded) compare(*want.forwarded, *got.forwarded[0]);
        };
    for (const MailReader& reader : kMailReaders) {
        SCOPED_TRACE(reader.name);
        if (std::string why = reader.missing(); !why.empty()) {
            std::printf("%s not read back: %s\n", reader.name, why.c_str());
            continue;
        }
        std::string failure;
        std::optional<ConvertedMail> mail = reader.read(file_, failure);
        ASSERT_TRUE(mail) << failure;
        compare(sample, *mail);
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, MsgRoundTrip, ::testing::ValuesIn(Cases()), TestName);

TEST(MsgNamedProperties, MapStorageDescribesEveryNameUsedAnywhereInTheFile) {
    if (std::string why = MissingPython(); !why.empty()) GTEST_SKIP() << why;
    TempFolder folder;
    MailSpec sample = Plain("named");
    sample.namedProperties = true;
    auto inner = std::make_shared<MailSpec>(Plain("inner"));
    sample.forwarded = inner;
    std::unique_ptr<Message> m = Build(sample);
    // The embedded message uses one name of its own and one the outer message uses too.
    m->attachments.back().embedded->props.setNamed({PSETID_Common, false, 0x8552, ""}, PT_LONG,
                                                   int32_t(7));
    m->attachments.back().embedded->props.setNamed({PSETID_Common, false, 0x8554, ""}, PT_UNICODE,
                                                   std::string("16.0"));
    fs::path file = folder.path() / "named.msg";
    ASSERT_TRUE(WriteMsgFile(*m, file).ok());

    std::string failure;
    std::optional<MsgDump> d = DumpMsg(file, failure);
    ASSERT_TRUE(d) << failure;
    for (const auto& e : d->errors) ADD_FAILURE() << e;
    // Names in first-use order: X-Mailer 0x8000, 0x8552 0x8001, Keywords 0x8002, 0x8554 0x8003.
    // GUIDs: PS_INTERNET_HEADERS index 3, PSETID_Common index 4; PS_PUBLIC_STRINGS is index 2.
    EXPECT_EQ(d->texts.at("__substg1.0_8000001F"), "Quillmere");
    EXPECT_EQ(d->props.at("").at(0x80010003), "005f1d0000000000");
    EXPECT_EQ(d->streamSizes.at("__substg1.0_8002101F"), 12u);  // three 4-byte lengths
    EXPECT_EQ(d->sha256.at("__substg1.0_8002101F-00000001"),
              Sha256(reinterpret_cast<const uint8_t*>("G\0r\0\xFC\0n\0\0\0"), 10));
    const std::string emb = "__attach_version1.0_#00000000/__substg1.0_3701000D";
    EXPECT_EQ(d->props.at(emb).at(0x80010003), "0700000000000000");
    EXPECT_EQ(d->texts.at(emb + "/__substg1.0_8003001F"), "16.0");
    EXPECT_EQ(d->streamSizes.at("__nameid_version1.0/__substg1.0_00020102"), 32u);
    EXPECT_EQ(d->streamSizes.at("__nameid_version1.0/__substg1.0_00030102"), 4u * 8);
    // "x-mailer" hashes into stream 0x100F with GUID index 3 (Microsoft's worked example).
    EXPECT_TRUE(d->streamSizes.count("__nameid_version1.0/__substg1.0_100F0102"));
    EXPECT_EQ(CheckCompoundFile(file).status, 0);
}

// A file of more than 236 FAT sectors: its FAT is listed by the header and two DIFAT sectors,
// which no message of the table above needs.
TEST(CompoundFile, TwoDifatSectorsAndTheMiniStreamReadBack) {
    if (std::string why = MissingPython(); !why.empty()) GTEST_SKIP() << why;
    struct FileSink : CompoundFile::Sink {
        std::ofstream out;
        void write(const uint8_t* data, size_t size) override {
            out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        }
    };
    TempFolder folder;
    const Bytes big = Pattern(17 << 20, 13), small = Pattern(100, 14);
    CompoundFile file;
    CompoundFile::EntryId storage = file.addStorage(CompoundFile::kRoot, "inner");
    file.addStream(storage, "big", big.data(), big.size());
    file.addStream(CompoundFile::kRoot, "small", small.data(), small.size());
    FileSink sink;
    sink.out.open(folder.path() / "file.cfb", std::ios::binary);
    file.writeTo(sink);
    sink.out.close();
    ASSERT_EQ(fs::file_size(folder.path() / "file.cfb"), file.fileSize());
    CommandResult check = CheckCompoundFile(folder.path() / "file.cfb");
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    std::string failure;
    std::optional<MsgDump> d = DumpMsg(folder.path() / "file.cfb", failure);
    ASSERT_TRUE(d) << failure;
    EXPECT_EQ(d->sha256.at("inner/big"), Sha256(big.data(), big.size()));
    EXPECT_EQ(d->sha256.at("small"), Sha256(small.data(), small.size()));
}

// ---- The checker itself must catch broken files --------------------------------------------

uint32_t Le32(const Bytes& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}
void SetLe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Directory entries of a small file (one FAT sector), by name: file offset and stream id.
struct DirEntry {
    size_t at;
    uint32_t id;
};
std::map<std::string, DirEntry> DirectoryEntries(const Bytes& file) {
    std::map<std::string, DirEntry> out;
    size_t fatAt = (Le32(file, 0x4C) + 1) * 512;
    uint32_t id = 0;
    for (uint32_t s = Le32(file, 0x30); s < 128; s = Le32(file, fatAt + 4 * s)) {
        for (size_t e = 0; e < 4; ++e, ++id) {
            size_t at = (s + 1) * 512 + e * 128;
            std::string name;
            for (size_t i = 0; i + 1 < file[at + 0x40]; i += 2)
                if (file[at + i]) name.push_back(static_cast<char>(file[at + i]));
            if (file[at + 0x42] != 0) out[name] = {at, id};
        }
    }
    return out;
}

struct Corruption {
    std::string label;
    std::function<void(Bytes&)> apply;
};

class MsgCheckerRejects : public ::testing::TestWithParam<Corruption> {};

TEST_P(MsgCheckerRejects, CorruptedFile) {
    if (std::string why = MissingPython(); !why.empty()) GTEST_SKIP() << why;
    TempFolder folder;
    MailSpec sample = Plain("corrupt");
    sample.attachments = {{"big.bin", "application/octet-stream", 5000, 9}};
    fs::path file = folder.path() / "good.msg";
    ASSERT_TRUE(WriteMsgFile(*Build(sample), file).ok());
    ASSERT_EQ(CheckCompoundFile(file).status, 0) << "the unbroken file must pass";

    Bytes bytes = ReadFile(file);
    ASSERT_EQ(Le32(bytes, 0x2C), 1u) << "the corruptions assume one FAT sector";
    GetParam().apply(bytes);
    fs::path broken = folder.path() / "broken.msg";
    WriteFile(broken, bytes);
    CommandResult r = CheckCompoundFile(broken);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("error: "));
}

size_t BigStream(const Bytes& b) {
    return DirectoryEntries(b).at("__substg1.0_37010102").at;
}

INSTANTIATE_TEST_SUITE_P(
    Files, MsgCheckerRejects,
    ::testing::Values(Corruption{"Signature", [](Bytes& b) { b[0] ^= 0xFF; }},
                      Corruption{"StreamLongerThanItsChain",
                                 [](Bytes& b) { SetLe32(b, BigStream(b) + 0x78, 5000 + 1024); }},
                      Corruption{"SectorSharedWithDirectory",
                                 [](Bytes& b) { SetLe32(b, BigStream(b) + 0x74, Le32(b, 0x30)); }},
                      Corruption{"ChainPointsPastEndOfFile",
                                 [](Bytes& b) {
                                     uint32_t start = Le32(b, BigStream(b) + 0x74);
                                     size_t fatAt = (Le32(b, 0x4C) + 1) * 512;
                                     SetLe32(b, fatAt + 4 * start, 100000);
                                 }},
                      Corruption{"ChainLoops",
                                 [](Bytes& b) {
                                     uint32_t start = Le32(b, BigStream(b) + 0x74);
                                     size_t fatAt = (Le32(b, 0x4C) + 1) * 512;
                                     SetLe32(b, fatAt + 4 * (start + 1), start);
                                 }},
                      Corruption{"SiblingPointsToItself",
                                 [](Bytes& b) {
                                     DirEntry e = DirectoryEntries(b).at("__substg1.0_0037001F");
                                     SetLe32(b, e.at + 0x48, e.id);
                                 }},
                      Corruption{"NamesOutOfOrder",
                                 [](Bytes& b) {
                                     auto d = DirectoryEntries(b);
                                     size_t x = d.at("__substg1.0_0037001F").at;
                                     size_t y = d.at("__substg1.0_1000001F").at;
                                     for (size_t i = 0; i < 64; ++i) std::swap(b[x + i], b[y + i]);
                                 }},
                      Corruption{"TwoRedSiblingsInARow",
                                 [](Bytes& b) {
                                     for (const auto& [name, e] : DirectoryEntries(b))
                                         if (name.rfind("__substg1.0_", 0) == 0) b[e.at + 0x43] = 0;
                                 }},
                      Corruption{"Truncated", [](Bytes& b) { b.resize(b.size() - 512); }}),
    [](const ::testing::TestParamInfo<Corruption>& info) { return info.param.label; });

// ---- Failures: said clearly, and never a partial file under the final name ---------------

bool HasTemporaryFiles(const fs::path& folder) {
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().extension() == ".tmp") return true;
    return false;
}

TEST(MsgWriteFailure, MissingFolderIsReportedWithPathAndReason) {
    TempFolder folder;
    fs::path file = folder.path() / "no-such-folder" / "Email-0.msg";
    MsgWriteResult r = WriteMsgFile(*Build(Plain("x")), file);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.systemError, ENOENT);
    EXPECT_THAT(r.error, HasSubstr(file.string()));
    EXPECT_THAT(r.error, HasSubstr("No such file or directory"));
}

// Small messages are built in memory and written at once, large ones stream to the file:
// a limit hit part way must be reported alike on both paths.
class MsgDiskLimit : public ::testing::TestWithParam<uint32_t> {};

TEST_P(MsgDiskLimit, MidFileLeavesTheOldFileAndNoTemporary) {
    TempFolder folder;
    fs::path file = folder.path() / "Email-0.msg";
    WriteFile(file, Bytes{'o', 'l', 'd'});
    MailSpec sample = Plain("big");
    sample.attachments = {{"big.bin", "application/octet-stream", GetParam(), 10}};
    std::unique_ptr<Message> m = Build(sample);

    // A file-size limit makes the writes fail part way, as a full disk would.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 300 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    MsgWriteResult r = WriteMsgFile(*m, file);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.systemError, EFBIG);
    EXPECT_THAT(r.error, HasSubstr("File too large"));
    EXPECT_THAT(r.error, HasSubstr("from offset"));
    EXPECT_THAT(r.error, HasSubstr(file.string()));
    EXPECT_EQ(ReadFile(file), (Bytes{'o', 'l', 'd'}));
    EXPECT_FALSE(HasTemporaryFiles(folder.path()));
}

INSTANTIATE_TEST_SUITE_P(InMemoryAndStreamed, MsgDiskLimit, ::testing::Values(2u << 20, 9u << 20));

TEST(MsgWriteFailure, TargetThatIsAFolderIsRefusedAndCleanedUp) {
    TempFolder folder;
    fs::path target = folder.path() / "Email-0.msg";
    fs::create_directory(target);
    fs::create_directory(target / "inside");  // a non-empty folder cannot be replaced
    MsgWriteResult r = WriteMsgFile(*Build(Plain("x")), target);
    EXPECT_FALSE(r.ok());
    EXPECT_THAT(r.error, HasSubstr("final name"));
    EXPECT_FALSE(HasTemporaryFiles(folder.path()));
}

TEST(MsgWriteFailure, MoreAttachmentsThanTheFormatHoldsIsRefusedBeforeWriting) {
    TempFolder folder;
    Message m;
    m.props.set(PidTagSubject, std::string("too many"));
    m.attachments.resize(2049);
    fs::path file = folder.path() / "Email-0.msg";
    MsgWriteResult r = WriteMsgFile(m, file);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.systemError, 0);
    EXPECT_THAT(r.error, HasSubstr("2048"));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(HasTemporaryFiles(folder.path()));
}

// A front end that asks to stop after a number of yields.
class StoppingFrontend : public SilentFrontend {
  public:
    explicit StoppingFrontend(int yieldsBeforeStop) : left_(yieldsBeforeStop) {}
    void yieldNow() override {
        ++yields;
        --left_;
    }
    bool cancelRequested() const override { return left_ <= 0; }
    int yields = 0;

  private:
    int left_;
};

TEST(MsgWrite, LargeAttachmentYieldsToTheFrontEndAndCanBeStopped) {
    TempFolder folder;
    MailSpec sample = Plain("large");
    sample.attachments = {{"big.bin", "application/octet-stream", 8 << 20, 12}};
    std::unique_ptr<Message> m = Build(sample);
    fs::path file = folder.path() / "Email-0.msg";

    StoppingFrontend patient(1000);
    YieldClock everyTime(patient, std::chrono::milliseconds(0));
    MsgWriteOptions everyTimeOptions;
    everyTimeOptions.yieldClock = &everyTime;
    MsgWriteResult done = WriteMsgFile(*m, file, everyTimeOptions);
    EXPECT_TRUE(done.ok()) << done.error;
    EXPECT_GE(patient.yields, 8);   // at least once per MiB of data
    if (MissingPython().empty()) {  // streamed to the file rather than built in memory
        CommandResult check = CheckCompoundFile(file);
        EXPECT_EQ(check.status, 0) << check.out << check.err;
    }

    fs::remove(file);
    StoppingFrontend stopping(3);
    YieldClock clock(stopping, std::chrono::milliseconds(0));
    MsgWriteOptions stoppingOptions;
    stoppingOptions.yieldClock = &clock;
    MsgWriteResult stopped = WriteMsgFile(*m, file, stoppingOptions);
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_FALSE(stopped.ok());
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(HasTemporaryFiles(folder.path()));
}

TEST(MsgWrite, ReplacesAnExistingFileWhole) {
    if (std::string why = MissingPython(); !why.empty()) GTEST_SKIP() << why;
    TempFolder folder;
    fs::path file = folder.path() / "Email-0.msg";
    WriteFile(file, Pattern(100000, 11));
    MsgWriteOptions synced;
    synced.syncToDisk = true;
    ASSERT_TRUE(WriteMsgFile(*Build(Plain("x")), file, synced).ok());
    EXPECT_EQ(CheckCompoundFile(file).status, 0);
    EXPECT_FALSE(HasTemporaryFiles(folder.path()));
}

// Written into a file of the caller's, the .msg takes its place: a longer old content is cut
// off, and a write that fails once begun leaves neither that file nor a temporary.
TEST(MsgWrite, WritesOverTheCallersFile) {
    if (std::string why = MissingPython(); !why.empty()) GTEST_SKIP() << why;
    TempFolder folder;
    fs::path spent = folder.path() / "Email-0.eml.part";
    fs::path file = folder.path() / "Email-0.msg";
    WriteFile(spent, Pattern(300000, 3));
    MsgWriteResult r =
        WriteMsgFile(*Build(Plain("x")), file, ::open(spent.c_str(), O_WRONLY), spent);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_FALSE(fs::exists(spent));
    EXPECT_LT(fs::file_size(file), 300000u);
    EXPECT_EQ(fs::file_size(file) % 512, 0u);
    EXPECT_EQ(CheckCompoundFile(file).status, 0);

    WriteFile(spent, Pattern(5000, 4));
    fs::remove(file);
    fs::create_directories(file / "inside");
    r = WriteMsgFile(*Build(Plain("z")), file, ::open(spent.c_str(), O_WRONLY), spent);
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(fs::exists(spent));
    EXPECT_FALSE(HasTemporaryFiles(folder.path()));
}

}  // namespace
}  // namespace quill::store::msg
