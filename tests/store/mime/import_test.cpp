// The import as a user sees its result: subject, sender, recipients, dates, bodies and
// attachments of the small messages in tests/data/mime, each aimed at one thing that goes
// wrong in real mail.

#include "store/mime/import.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "../../support/files.h"

namespace quill::store::mime {
namespace {

const std::filesystem::path kData = std::filesystem::path(QUILL_TEST_DATA) / "mime";
constexpr FileTime kNow{134410000000000000};

FileTime Utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return FileTime{static_cast<uint64_t>(timegm(&tm) + 11644473600LL) * 10000000u};
}

ImportResult Load(const std::string& name) {
    ImportOptions options;
    options.now = kNow;
    return ImportMessageFile(kData / name, options);
}

std::string FileBytes(const std::string& name) {
    std::ifstream in(kData / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Str(const PropertyBag& bag, PropTag tag) {
    return bag.string(tag).value_or("<none>");
}

std::string Text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

const Attachment* FindAttachment(const Message& m, const std::string& name) {
    for (const auto& a : m.attachments)
        if (a.props.string(PidTagAttachLongFilename) == name) return &a;
    return nullptr;
}

// A test name from a fixture's file name: "subject-koi8r.eml" gives "subject_koi8r".
std::string NameOf(std::string file) {
    file = file.substr(0, file.rfind('.'));
    for (char& c : file)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return file;
}

bool HasWarningContaining(const ImportResult& r, const std::string& text) {
    for (const auto& w : r.warnings)
        if (w.find(text) != std::string::npos) return true;
    return false;
}

struct SubjectCase {
    const char* file;
    const char* subject;
    const char* prefix;  // nullptr: none
    const char* normalized;
};

class EncodedWordSubjects : public ::testing::TestWithParam<SubjectCase> {};

TEST_P(EncodedWordSubjects, DecodeToUnicode) {
    const SubjectCase& c = GetParam();
    ImportResult r = Load(c.file);
    const PropertyBag& p = r.message.props;
    EXPECT_EQ(Str(p, PidTagSubject), c.subject);
    EXPECT_EQ(Str(p, PidTagNormalizedSubject), c.normalized);
    EXPECT_EQ(Str(p, PidTagConversationTopic), c.normalized);
    EXPECT_EQ(Str(p, PidTagSubjectPrefix), c.prefix ? c.prefix : "<none>");
    EXPECT_EQ(Str(p, PidTagSentRepresentingName), "Sender");
    // Sent from Date, received from the topmost Received header.
    EXPECT_EQ(p.time(PidTagClientSubmitTime), Utc(2026, 12, 5, 8, 7, 3));
    EXPECT_EQ(p.time(PidTagMessageDeliveryTime), Utc(2026, 12, 5, 8, 7, 5));
}

INSTANTIATE_TEST_SUITE_P(
    Charsets, EncodedWordSubjects,
    ::testing::Values(SubjectCase{"subject-utf8-base64.eml", "Grüße aus Köln – 東京", nullptr,
                                  "Grüße aus Köln – 東京"},
                      SubjectCase{"subject-latin1-quoted-printable.eml", "Re: Café crème",
                                  "Re: ", "Café crème"},
                      SubjectCase{"subject-koi8r.eml", "Привет мир", nullptr, "Привет мир"},
                      SubjectCase{"subject-shift-jis.eml", "会議の件", nullptr, "会議の件"},
                      // An unknown charset label must not turn letters into question marks.
                      SubjectCase{"subject-adjacent-words-and-unknown-charset.eml",
                                  "Jörg und Müller", nullptr, "Jörg und Müller"}),
    [](const auto& info) { return NameOf(info.param.file); });

class UndeclaredEightBitHeaders
    : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(UndeclaredEightBitHeaders, ReadAsUtf8ElseWindows1252) {
    ImportResult r = Load(GetParam().first);
    const PropertyBag& p = r.message.props;
    EXPECT_EQ(Str(p, PidTagSubject), GetParam().second);
    EXPECT_EQ(Str(p, PidTagSentRepresentingName), "Jürgen Groß");
    EXPECT_EQ(Str(p, PidTagDisplayTo), "Anna Öberg");
    ASSERT_EQ(r.message.recipients.size(), 1u);
    EXPECT_EQ(Str(r.message.recipients[0].props, PidTagDisplayName), "Anna Öberg");
    EXPECT_EQ(Str(p, PidTagBody), "Käse\r\n");
    // The raw header block is text too, never invalid UTF-8.
    EXPECT_NE(Str(p, PidTagTransportMessageHeaders).find("From: Jürgen Groß"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Files, UndeclaredEightBitHeaders,
    ::testing::Values(std::pair{"undeclared-8bit-headers-utf8.eml", "Grüße für Sie"},
                      std::pair{"undeclared-8bit-headers-windows1252.eml", "Grüße – für Sie"}),
    [](const auto& info) { return NameOf(info.param.first); });

TEST(MimeImport, AlternativeWithHtmlGivesBothBodiesAndTheEnvelope) {
    ImportResult r = Load("alternative-plain-and-html.eml");
    const Message& m = r.message;
    const PropertyBag& p = m.props;
    EXPECT_EQ(Str(p, PidTagMessageClass), "IPM.Note");
    EXPECT_EQ(Str(p, PidTagBody), "The figures are in.\r\nCafé at 3.");
    ASSERT_NE(p.binary(PidTagHtml), nullptr);
    EXPECT_EQ(Text(*p.binary(PidTagHtml)),
              "<html><body><p>The figures are in.</p><p>Café at 3.</p></body></html>");
    EXPECT_EQ(p.int32(PidTagInternetCodepage), 65001);

    EXPECT_EQ(Str(p, PidTagSentRepresentingName), "Smith, Ann");
    EXPECT_EQ(Str(p, PidTagSentRepresentingSmtpAddress), "ann@example.org");
    EXPECT_EQ(Str(p, PidTagSenderEmailAddress), "ann@example.org");
    EXPECT_EQ(Str(p, PidTagSenderAddressType), "SMTP");

    // The group in Cc is expanded into its members.
    struct Row {
        int32_t type;
        const char* name;
        const char* address;
    };
    const Row expected[] = {{MAPI_TO, "Bob", "bob@example.com"},
                            {MAPI_TO, "carol@example.com", "carol@example.com"},
                            {MAPI_CC, "dave@example.com", "dave@example.com"},
                            {MAPI_CC, "Eve", "eve@example.com"}};
    ASSERT_EQ(m.recipients.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const PropertyBag& rp = m.recipients[i].props;
        EXPECT_EQ(rp.int32(PidTagRecipientType), expected[i].type) << i;
        EXPECT_EQ(Str(rp, PidTagDisplayName), expected[i].name) << i;
        EXPECT_EQ(Str(rp, PidTagSmtpAddress), expected[i].address) << i;
        EXPECT_EQ(Str(rp, PidTagEmailAddress), expected[i].address) << i;
        EXPECT_EQ(Str(rp, PidTagAddressType), "SMTP") << i;
        EXPECT_EQ(rp.int32(PidTagRowid), static_cast<int32_t>(i));
    }
    EXPECT_EQ(Str(p, PidTagDisplayTo), "Bob; carol@example.com");
    EXPECT_EQ(Str(p, PidTagDisplayCc), "dave@example.com; Eve");
    EXPECT_FALSE(p.has(PidTagDisplayBcc));

    EXPECT_EQ(p.time(PidTagClientSubmitTime), Utc(2026, 12, 8, 19, 30, 0));
    EXPECT_EQ(p.time(PidTagMessageDeliveryTime), Utc(2026, 12, 8, 19, 30, 0));
    EXPECT_EQ(p.time(PidTagCreationTime), kNow);
    EXPECT_EQ(Str(p, PidTagInternetMessageId), "<alt-1@example.org>");
    EXPECT_EQ(Str(p, PidTagInReplyToId), "<orig-1@example.com>");
    EXPECT_EQ(Str(p, PidTagInternetReferences), "<root-1@example.com> <orig-1@example.com>");
    EXPECT_EQ(p.int32(PidTagImportance), IMPORTANCE_HIGH);
    EXPECT_EQ(p.int32(PidTagPriority), PRIO_URGENT);
    EXPECT_EQ(p.int32(PidTagSensitivity), SENSITIVITY_COMPANY_CONFIDENTIAL);
    EXPECT_EQ(Str(p, PidTagSubjectPrefix), "RE: ");
    EXPECT_EQ(Str(p, PidTagNormalizedSubject), "Quarterly figures");

    EXPECT_TRUE(m.attachments.empty());
    EXPECT_EQ(p.int32(PidTagMessageFlags), MSGFLAG_READ);
    EXPECT_EQ(p.boolean(PidTagHasAttachments), false);
    EXPECT_TRUE(r.warnings.empty());
}

TEST(MimeImport, HtmlOnlyKeepsItsCharsetAndGetsATextRendering) {
    ImportResult r = Load("html-only-latin1.eml");
    const PropertyBag& p = r.message.props;
    ASSERT_NE(p.binary(PidTagHtml), nullptr);
    EXPECT_NE(Text(*p.binary(PidTagHtml))
                  .find("Gr\xFC\xDF"
                        "e &amp; Dank"),
              std::string::npos);
    EXPECT_EQ(p.int32(PidTagInternetCodepage), 1252);  // ISO-8859-1 is read as Windows-1252
    EXPECT_EQ(Str(p, PidTagBody), "Grüße & Dank\r\n\r\nZweite\u00A0Zeile");
}

TEST(MimeImport, InlineImagesOfRelatedAreHiddenOthersStayVisible) {
    ImportResult r = Load("related-inline-images.eml");
    const Message& m = r.message;
    struct Row {
        const char* name;
        bool hidden;
        size_t size;
    };
    // The unreferenced image has a Content-ID but the HTML never shows it: hiding it would
    // hide it from the user altogether.
    const Row expected[] = {
        {"logo.png", true, 768}, {"unused.png", false, 10}, {"report.pdf", false, 13}};
    ASSERT_EQ(m.attachments.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const Attachment& a = m.attachments[i];
        EXPECT_EQ(Str(a.props, PidTagAttachLongFilename), expected[i].name);
        EXPECT_EQ(a.props.boolean(PidTagAttachmentHidden).value_or(false), expected[i].hidden)
            << expected[i].name;
        EXPECT_EQ(a.data.size(), expected[i].size) << expected[i].name;
        EXPECT_EQ(a.props.int32(PidTagAttachNumber), static_cast<int32_t>(i));
    }
    EXPECT_EQ(Str(m.attachments[0].props, PidTagAttachContentId), "logo@example.org");
    EXPECT_EQ(m.attachments[0].props.int32(PidTagAttachFlags), ATT_MHTML_REF);
    EXPECT_EQ(m.attachments[0].data[255], 255);
    EXPECT_EQ(Text(m.attachments[2].data), "%PDF-1.4 fake");
    EXPECT_EQ(m.props.int32(PidTagMessageFlags), MSGFLAG_READ | MSGFLAG_HASATTACH);
    EXPECT_EQ(Str(m.props, PidTagBody), "Hello");
}

TEST(MimeImport, OnlyInlineImagesGiveNoPaperclip) {
    ImportResult r = Load("related-inline-image-only.eml");
    ASSERT_EQ(r.message.attachments.size(), 1u);
    EXPECT_EQ(r.message.attachments[0].props.boolean(PidTagAttachmentHidden), true);
    EXPECT_EQ(r.message.props.int32(PidTagMessageFlags), MSGFLAG_READ);
    EXPECT_EQ(r.message.props.boolean(PidTagHasAttachments), false);
}

TEST(MimeImport, AttachmentNamesAreDecoded) {
    ImportResult r = Load("attachment-names-rfc2231.eml");
    struct Row {
        const char* name;
        const char* extension;
        const char* content;
        const char* mimeType;
    };
    const Row expected[] = {
        {"naïve résumé.txt", ".txt", "one", "text/plain"},                       // RFC 2231, UTF-8
        {"Grüße aus Köln.doc", ".doc", "two", "application/octet-stream"},       // continuations
        {"Übersicht.xlsx", ".xlsx", "three", "application/octet-stream"},        // encoded word
        {"plan.txt", ".txt", "four", "application/octet-stream"},                // path dropped
        {"attachment-5.jpg", ".jpg", "\xFF\xD8\xFF\xE0\x00\x10", "image/jpeg"},  // no name
    };
    const Message& m = r.message;
    ASSERT_EQ(m.attachments.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const PropertyBag& a = m.attachments[i].props;
        EXPECT_EQ(Str(a, PidTagAttachLongFilename), expected[i].name);
        EXPECT_EQ(Str(a, PidTagDisplayName), expected[i].name);
        EXPECT_EQ(Str(a, PidTagAttachExtension), expected[i].extension);
        EXPECT_EQ(Str(a, PidTagAttachMimeTag), expected[i].mimeType);
        EXPECT_EQ(Text(m.attachments[i].data),
                  std::string(expected[i].content, i == 4 ? 6 : std::strlen(expected[i].content)));
        EXPECT_EQ(a.int32(PidTagAttachMethod), ATTACH_BY_VALUE);
        EXPECT_EQ(a.int32(PidTagRenderingPosition), -1);
        EXPECT_LE(Str(a, PidTagAttachFilename).size(), 12u);
    }
    EXPECT_EQ(Str(m.props, PidTagBody), "See attachments.");
}

TEST(MimeImport, ForwardedMessageIsEmbeddedWithItsOwnAttachment) {
    ImportResult r = Load("forwarded-message-with-attachment.eml");
    const Message& m = r.message;
    EXPECT_EQ(Str(m.props, PidTagBody), "See the forwarded message.");
    ASSERT_EQ(m.attachments.size(), 1u);
    const Attachment& a = m.attachments[0];
    EXPECT_EQ(a.props.int32(PidTagAttachMethod), ATTACH_EMBEDDED_MSG);
    EXPECT_EQ(Str(a.props, PidTagAttachMimeTag), "message/rfc822");
    EXPECT_EQ(Str(a.props, PidTagDisplayName), "Contract");
    ASSERT_NE(a.embedded, nullptr);
    const Message& inner = *a.embedded;
    EXPECT_EQ(Str(inner.props, PidTagSubject), "Contract");
    EXPECT_EQ(Str(inner.props, PidTagSentRepresentingName), "Lawyer");
    EXPECT_EQ(inner.props.time(PidTagClientSubmitTime), Utc(2026, 12, 9, 15, 45, 0));
    EXPECT_EQ(Str(inner.props, PidTagBody), "Please sign.");
    EXPECT_EQ(Str(inner.props, PidTagInternetMessageId), "<inner@example.net>");
    EXPECT_NE(
        Str(inner.props, PidTagTransportMessageHeaders).find("From: Lawyer <law@example.net>"),
        std::string::npos);
    ASSERT_EQ(inner.recipients.size(), 1u);
    ASSERT_EQ(inner.attachments.size(), 1u);
    EXPECT_EQ(Str(inner.attachments[0].props, PidTagAttachLongFilename), "contract.pdf");
    EXPECT_EQ(Text(inner.attachments[0].data), "%PDF-1.7 contract");
    EXPECT_EQ(inner.props.int32(PidTagMessageFlags), MSGFLAG_READ | MSGFLAG_HASATTACH);
    EXPECT_EQ(m.props.int32(PidTagMessageFlags), MSGFLAG_READ | MSGFLAG_HASATTACH);
}

// Tags in encoded words become categories, once each; a malformed status header is warned
// about; an attached message is read whatever its own headers say.
TEST(MimeImport, MailProgramStateOfTheTopMessageOnly) {
    ImportResult r = Load("mail-program-state.eml");
    const Message& m = r.message;
    NamedProperty keywords{PS_PUBLIC_STRINGS, true, 0, "Keywords"};
    const NamedValue* categories = m.props.findNamed(keywords);
    ASSERT_NE(categories, nullptr);
    EXPECT_EQ(std::get<MultiString>(categories->value),
              (MultiString{"R\xC3\xA9union", "Work", "\xC3\xA9t\xC3\xA9"}));
    EXPECT_TRUE(HasWarningContaining(r, "unreadable X-Status header \"1?\""));
    EXPECT_FALSE(r.expunged);
    ASSERT_EQ(m.attachments.size(), 1u);
    ASSERT_NE(m.attachments[0].embedded, nullptr);
    const Message& inner = *m.attachments[0].embedded;
    EXPECT_EQ(inner.props.int32(PidTagMessageFlags), MSGFLAG_READ);
    EXPECT_EQ(inner.props.findNamed(keywords), nullptr);
}

TEST(MimeImport, MessageWithoutDateFromOrSubjectStillImports) {
    ImportResult r = Load("no-date-from-subject.eml");
    const PropertyBag& p = r.message.props;
    EXPECT_FALSE(p.has(PidTagSubject));
    EXPECT_FALSE(p.has(PidTagNormalizedSubject));
    EXPECT_FALSE(p.has(PidTagSentRepresentingName));
    EXPECT_FALSE(p.has(PidTagSenderEmailAddress));
    EXPECT_EQ(p.time(PidTagClientSubmitTime), kNow);
    EXPECT_EQ(Str(p, PidTagBody), "Anonymous note.\r\n");
    EXPECT_EQ(Str(p, PidTagDisplayTo), "bob@example.com");
    EXPECT_TRUE(HasWarningContaining(r, "no readable date"));
    // No string property is ever stored empty.
    for (const auto& [tag, value] : p.tagged()) {
        if (auto* s = std::get_if<std::string>(&value)) {
            EXPECT_FALSE(s->empty()) << std::hex << tag;
        }
    }
}

TEST(MimeImport, OnlyTheLeadingMboxLineIsSkipped) {
    ImportResult with = Load("alternative-plain-only.eml");
    EXPECT_EQ(Str(with.message.props, PidTagBody), "Only plain text here.");
    EXPECT_FALSE(with.message.props.has(PidTagHtml));  // an alternative without HTML
    std::string headers = Str(with.message.props, PidTagTransportMessageHeaders);
    EXPECT_EQ(headers.rfind("From: ann@example.org\r\n", 0), 0u);
    EXPECT_EQ(headers.find("From sender@"), std::string::npos);
    // The block ends with one line end, not with the blank line after it.
    EXPECT_TRUE(headers.ends_with("boundary=\"ALT\"\r\n")) << headers;
    EXPECT_EQ(with.message.props.int32(PidTagMessageSize),
              static_cast<int32_t>(FileBytes("alternative-plain-only.eml").size() - 50));

    ImportResult without = Load("no-mbox-from-line.eml");
    EXPECT_EQ(Str(without.message.props, PidTagSubject), "No separator line");
    EXPECT_EQ(Str(without.message.props, PidTagSentRepresentingEmailAddress), "ann@example.org");
    EXPECT_EQ(Str(without.message.props, PidTagBody), "Text.\r\n");
}

// Damaged, empty and encrypted parts: every byte that can be had is kept as an attachment,
// the message keeps its body and its paperclip, and damage is reported.
TEST(MimeImport, DamagedEmptyAndEncryptedPartsAreKept) {
    struct Case {
        const char* file;
        const char* messageClass;
        const char* body;  // nullptr: none
        const char* attachment;
        const char* mimeType;
        std::string data;
        const char* warning;  // nullptr: none
    } cases[] = {
        {"broken-base64.eml", "IPM.Note", "Hello World", "data.bin", "application/octet-stream",
         std::string("\0\1\2\3\4\5\6\7\10", 9),
         "broken base64 data in the application/octet-stream part \"data.bin\" at byte 330"},
        {"missing-closing-boundary.eml", "IPM.Note", "Body text.", "table.csv", "text/csv",
         "a,b\r\n1,2\r\n", "closing MIME boundary is missing"},
        {"zero-byte-attachment.eml", "IPM.Note", nullptr, "empty.dat", nullptr, "", nullptr},
        {"smime-encrypted.eml", "IPM.Note.SMIME", nullptr, "smime.p7m", "application/pkcs7-mime",
         std::string("0\x80"
                     "encrypted-blob",
                     16),
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ImportResult r = Load(c.file);
        const PropertyBag& p = r.message.props;
        EXPECT_EQ(Str(p, PidTagMessageClass), c.messageClass);
        if (c.body) {
            EXPECT_EQ(Str(p, PidTagBody), c.body);
        }
        const Attachment* a = FindAttachment(r.message, c.attachment);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(Text(a->data), c.data);
        EXPECT_EQ(a->props.int32(PidTagAttachSize), static_cast<int32_t>(c.data.size()));
        if (c.mimeType) {
            EXPECT_EQ(Str(a->props, PidTagAttachMimeTag), c.mimeType);
        }
        EXPECT_EQ(p.int32(PidTagMessageFlags), MSGFLAG_READ | MSGFLAG_HASATTACH);
        if (c.warning) {
            EXPECT_TRUE(HasWarningContaining(r, c.warning));
        }
    }
}

TEST(MimeImport, SignedMessageKeepsTheSignedEntityByteForByte) {
    ImportResult r = Load("smime-signed.eml");
    const Message& m = r.message;
    EXPECT_EQ(Str(m.props, PidTagMessageClass), "IPM.Note.SMIME.MultipartSigned");
    EXPECT_EQ(Str(m.props, PidTagBody), "Signed text.");
    const Attachment* notes = FindAttachment(m, "notes.txt");
    ASSERT_NE(notes, nullptr);
    EXPECT_EQ(Text(notes->data), "notes");
    const Attachment* p7m = FindAttachment(m, "smime.p7m");
    ASSERT_NE(p7m, nullptr);
    EXPECT_EQ(Str(p7m->props, PidTagAttachMimeTag), "multipart/signed");
    EXPECT_EQ(p7m->props.boolean(PidTagAttachmentHidden), true);
    std::string file = FileBytes("smime-signed.eml");
    EXPECT_EQ(Text(p7m->data), file.substr(file.find("Content-Type: multipart/signed")));
    EXPECT_EQ(m.props.boolean(PidTagHasAttachments), true);  // notes.txt
}

TEST(MimeImport, VeryLongHeaderLinesAreKeptWhole) {
    ImportResult r = Load("very-long-header-lines.eml");
    const PropertyBag& p = r.message.props;
    EXPECT_EQ(Str(p, PidTagSubject).size(), 6009u);
    EXPECT_EQ(r.message.recipients.size(), 300u);
    EXPECT_EQ(Str(r.message.recipients[299].props, PidTagSmtpAddress), "user299@example.com");
    EXPECT_NE(Str(p, PidTagInternetReferences).find("<ref499@example.com>"), std::string::npos);
    EXPECT_NE(Str(p, PidTagTransportMessageHeaders).find("User 299 <user299@example.com>"),
              std::string::npos);
}

TEST(MimeImport, BufferAndFileGiveTheSameMessage) {
    for (const char* name : {"related-inline-images.eml", "forwarded-message-with-attachment.eml",
                             "smime-signed.eml"}) {
        std::string bytes = FileBytes(name);
        ImportOptions options;
        options.now = kNow;
        ImportResult fromBuffer = ImportMessageBuffer(
            std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), options);
        ImportResult fromFile = Load(name);
        EXPECT_EQ(fromBuffer.message.props.tagged(), fromFile.message.props.tagged()) << name;
        ASSERT_EQ(fromBuffer.message.attachments.size(), fromFile.message.attachments.size());
        for (size_t i = 0; i < fromFile.message.attachments.size(); ++i)
            EXPECT_EQ(fromBuffer.message.attachments[i].data, fromFile.message.attachments[i].data);
    }
}

// Parts larger than the import's 64 KiB reading pieces, damaged near where the pieces meet, in
// each transfer encoding: a message read from memory (decoded where it lies) and from its file
// (read through the stream piece by piece) must give the same bytes and the same warnings.
TEST(MimeImport, BufferAndFileDecodeLargeDamagedPartsAlike) {
    std::string base64;
    for (int i = 0; i < 1800; ++i)
        base64 += "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKiss\r\n";
    base64.insert(65536 - 2, "==");  // padding in the middle, the last bytes of a piece
    base64.insert(65536 + 10, "*");  // a foreign byte just after it
    std::string quoted;
    for (int i = 0; i < 1800; ++i) quoted += "caf=C3=A9 soft line break here, then more text =\r\n";
    quoted.insert(65536 - 200, "=4");  // an escape cut by the end of a piece
    std::string uuencoded = "begin 644 u.bin\r\n";
    for (int i = 0; i < 1500; ++i)
        uuencoded += "M86)C9&5F9VAI:FML;6YO<'%R<W1U=G=X>7HP,3(S-#4V-S@Y86)C9&5F9VAI\r\n";
    uuencoded += "`\r\nend\r\n";
    const std::pair<const char*, const std::string*> parts[] = {
        {"base64", &base64}, {"quoted-printable", &quoted}, {"x-uuencode", &uuencoded}};
    std::string msg =
        "From a@example.org Sat Dec  5 09:07:03 2026\r\nFrom: a@example.org\r\n"
        "Subject: large parts\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n";
    for (const auto& [encoding, content] : parts)
        msg += std::string("--b\r\nContent-Type: application/octet-stream\r\n") +
               "Content-Transfer-Encoding: " + encoding + "\r\n\r\n" + *content;
    msg += "--b--\r\n";
    const std::filesystem::path file =
        std::filesystem::path(::testing::TempDir()) / "quill-large-damaged-parts.eml";
    quill::testing::WriteFile(file, msg);

    ImportOptions options;
    options.now = kNow;
    ImportResult fromFile = ImportMessageFile(file, options);
    ImportResult fromBuffer = ImportMessageBuffer(
        std::span(reinterpret_cast<const uint8_t*>(msg.data()), msg.size()), options);
    std::filesystem::remove(file);
    ASSERT_EQ(fromFile.message.attachments.size(), 3u);
    ASSERT_EQ(fromBuffer.message.attachments.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(fromFile.message.attachments[i].data.empty()) << parts[i].first;
        EXPECT_EQ(fromBuffer.message.attachments[i].data, fromFile.message.attachments[i].data)
            << parts[i].first;
    }
    EXPECT_EQ(fromBuffer.warnings, fromFile.warnings);
    EXPECT_TRUE(HasWarningContaining(fromBuffer, "broken base64 data"));
}

// A message whose one part is an attachment with `body` as its base64 content.
ImportResult ImportBase64Attachment(const std::string& body) {
    std::string msg =
        "From: a@example.org\r\nSubject: s\r\nContent-Type: application/octet-stream; "
        "name=d.bin\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
        body;
    return ImportMessageBuffer(std::span(reinterpret_cast<const uint8_t*>(msg.data()), msg.size()));
}

// A byte that has no place in base64 is noticed wherever it stands: in any of the sixteen
// positions the census looks at together, past its counters' refill, in a later chunk, or in
// the last few bytes; clean data raises nothing and decodes whole.
TEST(MimeImport, AStrayByteAnywhereInBase64IsReported) {
    std::string data;
    for (int i = 0; i < 60000; ++i) data += static_cast<char>((i * 7919 + i / 13) & 0xFF);
    gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(data.data()), data.size());
    std::string text;
    for (const char* p = encoded; *p != '\0'; p += std::min<size_t>(76, std::strlen(p)))
        text += std::string(p, std::min<size_t>(76, std::strlen(p))) + "\r\n";
    g_free(encoded);
    ImportResult clean = ImportBase64Attachment(text);
    EXPECT_FALSE(HasWarningContaining(clean, "broken base64"));
    ASSERT_EQ(clean.message.attachments.size(), 1u);
    EXPECT_TRUE(clean.message.attachments[0].data == Bytes(data.begin(), data.end()));

    std::vector<size_t> at;
    for (size_t i = 0; i < 20; ++i) at.push_back(i);
    for (size_t i : {4079, 4080, 4081, 65535, 65536, 70000}) at.push_back(i);
    for (size_t back = 1; back <= 20; ++back) at.push_back(text.size() - 2 - back);
    for (size_t i : at) {
        for (char stray : {'!', '\xC3', '-'}) {
            std::string broken = text;
            broken.insert(i, 1, stray);
            EXPECT_TRUE(HasWarningContaining(ImportBase64Attachment(broken), "broken base64"))
                << "byte " << int(static_cast<unsigned char>(stray)) << " at " << i;
        }
    }
}

// Base64 whose last quartet lacks its padding still holds the bytes of that quartet: they
// are kept whether the data is otherwise plain or also has a stray byte. A single symbol
// left over holds no byte: it is dropped, and the data reported broken, as a stray byte is.
TEST(MimeImport, Base64EndingShortOfAQuartetKeepsEveryWholeByte) {
    struct Case {
        const char* body;
        const char* bytes;
        bool broken;
    };
    const Case cases[] = {
        {"QUJDREVG\r\nQUI\r\n", "ABCDEFAB", false}, {"QUJDREVG\r\nQQ\r\n", "ABCDEFA", false},
        {"QUJDREVG\r\nQ\r\n", "ABCDEF", true},      {"QUJD!REVG\r\nQUI\r\n", "ABCDEFAB", true},
        {"QUJD!REVG\r\nQQ\r\n", "ABCDEFA", true},   {"QUJD!REVG\r\nQ\r\n", "ABCDEF", true},
    };
    for (const Case& c : cases) {
        ImportResult result = ImportBase64Attachment(c.body);
        ASSERT_EQ(result.message.attachments.size(), 1u) << c.body;
        EXPECT_EQ(std::string(result.message.attachments[0].data.begin(),
                              result.message.attachments[0].data.end()),
                  c.bytes)
            << c.body;
        EXPECT_EQ(HasWarningContaining(result, "broken base64"), c.broken) << c.body;
    }
}

TEST(MimeImport, UnixLineEndsAndBase64TextBodyGetCrLf) {
    std::string msg =
        "From: a@example.org\nSubject: lf\nContent-Type: text/plain; charset=utf-8\n"
        "Content-Transfer-Encoding: base64\n\n"
        "bGluZSAxCmxpbmUgMgpGcm9tIG1lCg==\n";  // "line 1\nline 2\nFrom me\n"
    ImportResult r =
        ImportMessageBuffer(std::span(reinterpret_cast<const uint8_t*>(msg.data()), msg.size()));
    EXPECT_EQ(Str(r.message.props, PidTagSubject), "lf");
    EXPECT_EQ(Str(r.message.props, PidTagBody), "line 1\r\nline 2\r\nFrom me\r\n");
    EXPECT_EQ(Str(r.message.props, PidTagTransportMessageHeaders).find('\n'),
              Str(r.message.props, PidTagTransportMessageHeaders).find("\r\n") + 1);
}

TEST(MimeImport, EmptyAndGarbageInputGiveAMessage) {
    for (std::string input :
         {std::string(), std::string("From x\r\n"), std::string("\0\xFF\r\n\r\n--", 7)}) {
        ImportResult r = ImportMessageBuffer(
            std::span(reinterpret_cast<const uint8_t*>(input.data()), input.size()));
        EXPECT_EQ(Str(r.message.props, PidTagMessageClass), "IPM.Note");
        EXPECT_EQ(r.message.props.int32(PidTagMessageFlags), MSGFLAG_READ);
    }
}

ImportResult FromText(const std::string& text) {
    return ImportMessageBuffer(
        std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

TEST(MimeImport, ImportancePriorityAndSensitivityHeaders) {
    struct Case {
        const char* headers;
        int32_t importance, priority, sensitivity;
    };
    const Case cases[] = {
        {"", IMPORTANCE_NORMAL, PRIO_NORMAL, SENSITIVITY_NONE},
        {"Importance: LOW\r\n", IMPORTANCE_LOW, PRIO_NORMAL, SENSITIVITY_NONE},
        {"X-Priority: 1 (Highest)\r\n", IMPORTANCE_HIGH, PRIO_NORMAL, SENSITIVITY_NONE},
        {"X-Priority: 5\r\n", IMPORTANCE_LOW, PRIO_NORMAL, SENSITIVITY_NONE},
        {"Importance: normal\r\nX-Priority: 1\r\n", IMPORTANCE_NORMAL, PRIO_NORMAL,
         SENSITIVITY_NONE},
        {"X-MSMail-Priority: High\r\n", IMPORTANCE_HIGH, PRIO_NORMAL, SENSITIVITY_NONE},
        {"Priority: non-urgent\r\nSensitivity: Private\r\n", IMPORTANCE_NORMAL, PRIO_NONURGENT,
         SENSITIVITY_PRIVATE},
        {"Sensitivity: personal\r\n", IMPORTANCE_NORMAL, PRIO_NORMAL, SENSITIVITY_PERSONAL},
    };
    for (const Case& c : cases) {
        ImportResult r = FromText(std::string("From: a@example.org\r\n") + c.headers + "\r\nx\r\n");
        EXPECT_EQ(r.message.props.int32(PidTagImportance), c.importance) << c.headers;
        EXPECT_EQ(r.message.props.int32(PidTagPriority), c.priority) << c.headers;
        EXPECT_EQ(r.message.props.int32(PidTagSensitivity), c.sensitivity) << c.headers;
    }
}

TEST(MimeImport, SenderOnBehalfOfFromAndReplyTo) {
    ImportResult r = FromText(
        "From: Boss <boss@example.org>\r\nSender: Assistant <pa@example.org>\r\n"
        "Reply-To: Desk <desk@example.org>, other@example.org\r\n"
        "To: undisclosed-recipients:;\r\n\r\nx\r\n");
    const PropertyBag& p = r.message.props;
    EXPECT_EQ(Str(p, PidTagSentRepresentingName), "Boss");
    EXPECT_EQ(Str(p, PidTagSentRepresentingEmailAddress), "boss@example.org");
    EXPECT_EQ(Str(p, PidTagSenderName), "Assistant");
    EXPECT_EQ(Str(p, PidTagSenderSmtpAddress), "pa@example.org");
    EXPECT_EQ(Text(*p.binary(PidTagSenderSearchKey)), std::string("SMTP:PA@EXAMPLE.ORG\0", 20));
    EXPECT_EQ(Str(p, PidTagReplyRecipientNames), "Desk; other@example.org");
    const Bytes* entries = p.binary(PidTagReplyRecipientEntries);
    ASSERT_NE(entries, nullptr);
    EXPECT_EQ((*entries)[0], 2);  // two one-off entry IDs
    // An empty group gives no recipient and no display string.
    EXPECT_TRUE(r.message.recipients.empty());
    EXPECT_FALSE(p.has(PidTagDisplayTo));
}

TEST(MimeImport, PartsGMimeCannotSplitAreKeptNotDropped) {
    // A multipart without a boundary: its lines become a text attachment.
    ImportResult noBoundary = FromText(
        "From: a@example.org\r\nContent-Type: multipart/mixed\r\n\r\n--x\r\n"
        "Content-Type: text/plain\r\n\r\nhello\r\n--x--\r\n");
    ASSERT_EQ(noBoundary.message.attachments.size(), 1u);
    EXPECT_NE(Text(noBoundary.message.attachments[0].data).find("hello"), std::string::npos);
    EXPECT_TRUE(HasWarningContaining(noBoundary, "multipart without a boundary"));

    // A forwarded message sent in base64 is still an embedded message.
    ImportResult encoded = FromText(
        "From: a@example.org\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
        "Content-Type: message/rfc822\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "RnJvbTogeEB5LnoNClN1YmplY3Q6IGlubmVyDQoNCmJvZHkNCg==\r\n--b--\r\n");
    ASSERT_EQ(encoded.message.attachments.size(), 1u);
    ASSERT_NE(encoded.message.attachments[0].embedded, nullptr);
    EXPECT_EQ(Str(encoded.message.attachments[0].embedded->props, PidTagSubject), "inner");
    EXPECT_EQ(Str(encoded.message.attachments[0].embedded->props, PidTagBody), "body\r\n");

    // NUL bytes in a text body and a charset label that names no charset.
    using namespace std::string_literals;
    ImportResult odd = FromText(
        "From: a@example.org\r\nContent-Type: text/plain; charset=x-unknown\r\n\r\nK\xE4se\0!\r\n"s);
    EXPECT_EQ(Str(odd.message.props, PidTagBody), "Käse!\r\n");
    EXPECT_TRUE(HasWarningContaining(odd, "unknown charset \"x-unknown\""));
}

// Header and body text that mail programs show and the import once lost or garbled: one
// message per row, the property a user reads and what it must say.
TEST(MimeImport, EveryWordArrives) {
    struct Case {
        std::string message;
        std::function<std::string(const Message&)> read;
        std::string expected;
    };
    auto prop = [](PropTag tag) { return [tag](const Message& m) { return Str(m.props, tag); }; };
    auto recipient = [](PropTag tag) {
        return [tag](const Message& m) {
            return m.recipients.empty() ? "<no recipient>" : Str(m.recipients[0].props, tag);
        };
    };
    auto attachment = [](const Message& m) {
        return m.attachments.empty() ? "<no attachment>"
                                     : Str(m.attachments[0].props, PidTagAttachLongFilename);
    };
    const Case cases[] = {
        {"Subject: =?utf-8?B?YWI=?= =?utf-8?B?Y2Q=?=\r\n\r\nx", prop(PidTagSubject), "abcd"},
        {"To: =?utf-8?B?Qm8=?= =?utf-8?B?Yg==?= <b@example.com>\r\n\r\nx",
         recipient(PidTagDisplayName), "Bob"},
        {"To: \"=?utf-8?B?Qm8=?= =?utf-8?B?Yg==?=\" <b@example.com>\r\n\r\nx",
         recipient(PidTagDisplayName), "Bob"},
        {"Content-Type: text/plain\r\nContent-Disposition: attachment;\r\n filename=\""
         "=?utf-8?B?YWI=?= =?utf-8?B?Y2QuYmlu?=\"\r\n\r\nx",
         attachment, "abcd.bin"},
        // 8-bit sender without any charset: kept, read as Windows-1252.
        {"From: Caf\xE9 <caf\xE9@example.com>\r\n\r\nx", prop(PidTagSentRepresentingName), "Café"},
        {"From: Caf\xE9 <caf\xE9@example.com>\r\nSender: s@example.com\r\n\r\nx",
         prop(PidTagSentRepresentingEmailAddress), "café@example.com"},
        {"Subject: =?iso-8859-1?Q?Parhelia=99_now_=96_available?=\r\n\r\nx", prop(PidTagSubject),
         "Parhelia™ now – available"},
        {"Content-Type: text/plain; charset=euc-kr\r\n\r\n\x8C"
         "c\xB9\xE6",
         prop(PidTagBody), "똠방"},
        // Legacy HTML keeps its bytes under the code page of the superset it is read as.
        {"Content-Type: text/html; charset=iso-8859-9\r\n\r\n\x80",
         [](const Message& m) {
             return std::to_string(m.props.int32(PidTagInternetCodepage).value_or(0));
         },
         "1254"},
        // A repeated Content-Type: the first one counts, as in mainstream parsers.
        {"Content-Type: multipart/alternative; boundary=\"XX\"\r\n"
         "Content-Type: text/plain; charset=us-ascii\r\n\r\n--XX\r\n"
         "Content-Type: text/plain\r\n\r\nplain\r\n--XX\r\nContent-Type: text/html\r\n\r\n"
         "<p>html</p>\r\n--XX--\r\n",
         [](const Message& m) {
             return Str(m.props, PidTagBody) + "|" +
                    (m.props.binary(PidTagHtml) ? Text(*m.props.binary(PidTagHtml)) : "");
         },
         "plain|<p>html</p>"},
        {"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/plain\r\n"
         "Content-Type: application/octet-stream\r\n\r\nhello\r\n--b--\r\n",
         prop(PidTagBody), "hello"},
        {"Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n"
         "Content-Transfer-Encoding: 7bit\r\n\r\nSGk=\r\n",
         prop(PidTagBody), "Hi"},
        // Bad input: nothing dropped silently.
        {"To: Anna Nym <<<\r\n\r\nx", recipient(PidTagDisplayName), "Anna Nym <<<"},
        {"Subject: =?utf-8?B?#?= x\r\n\r\nx", prop(PidTagSubject), "=?utf-8?B?#?= x"},
        {"Subject: =?utf-8?Q?K=E4se?=\r\n\r\nx", prop(PidTagSubject), "Käse"},
    };
    for (const Case& c : cases) {
        const char* from = c.message.starts_with("From") ? "" : "From: a@example.org\r\n";
        ImportResult r = FromText(from + c.message);
        EXPECT_EQ(c.read(r.message), c.expected) << c.message;
        // Text kept as it stands or read as Windows-1252 is never kept quietly.
        if (c.message.find("#?=") != std::string::npos ||
            c.message.find("=E4") != std::string::npos) {
            EXPECT_TRUE(HasWarningContaining(r, "undecodable text in the Subject header"))
                << c.message;
        }
        if (c.message.find("<<<") != std::string::npos) {
            EXPECT_TRUE(HasWarningContaining(r, "unreadable address list in the To header"));
        }
    }
}

// A front end that only counts how often the import let it run.
class CountingFrontend : public SilentFrontend {
  public:
    int yields = 0;
    void yieldNow() override { ++yields; }
};

TEST(MimeImport, LargePartsLetTheFrontEndRun) {
    // 3 MB of base64 in one attachment: decoded in many blocks, each a chance to yield.
    std::string msg =
        "From: a@example.org\r\nContent-Type: application/octet-stream\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n";
    for (int i = 0; i < 40000; ++i)
        msg += "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKiss\r\n";
    CountingFrontend frontend;
    YieldClock clock(frontend, std::chrono::milliseconds(0));
    ImportOptions options;
    options.yield = &clock;
    ImportResult r = ImportMessageBuffer(
        std::span(reinterpret_cast<const uint8_t*>(msg.data()), msg.size()), options);
    ASSERT_EQ(r.message.attachments.size(), 1u);
    EXPECT_EQ(r.message.attachments[0].data.size(), 40000u * 45);
    EXPECT_GT(frontend.yields, 10);
}

TEST(MimeImport, UnreadableFileSaysWhichAndWhy) {
    const std::filesystem::path missing = kData / "does-not-exist.eml";
    try {
        ImportMessageFile(missing);
        FAIL() << "no error";
    } catch (const ImportError& e) {
        EXPECT_EQ(e.file(), missing);
        EXPECT_EQ(e.reason(), "No such file or directory");
        EXPECT_NE(std::string(e.what()).find(missing.string()), std::string::npos);
    }
    EXPECT_THROW(ImportMessageFile(kData), ImportError);  // a folder
}

}  // namespace
}  // namespace quill::store::mime
