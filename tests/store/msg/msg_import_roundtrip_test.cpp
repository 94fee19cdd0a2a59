// Real imported messages: every message file of the MIME import's fixtures goes through the
// import and the .msg writer, and the .msg must pass the compound-file check, olefile's read
// and come back from msgconvert and msgreader with the subject, bodies and attachments of the
// import.

#include <gtest/gtest.h>

#include <algorithm>

#include "msg_test_support.h"
#include "store/mime/import.h"
#include "store/msg/msg_writer.h"

namespace quill::store::msg {
namespace {

using namespace testing;

std::vector<std::string> Fixtures() {
    std::vector<std::string> names;
    fs::path folder = fs::path(QUILL_TEST_DATA) / "mime";
    if (!fs::exists(folder)) return names;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().extension() == ".eml") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class MsgFromImport : public ::testing::TestWithParam<std::string> {};

TEST_P(MsgFromImport, ReadersGetBackWhatTheImportMade) {
    if (std::string why = MissingPython(); !why.empty()) GTEST_SKIP() << why;
    TempFolder folder;
    mime::ImportResult imported =
        mime::ImportMessageFile(fs::path(QUILL_TEST_DATA) / "mime" / GetParam());
    const Message& m = imported.message;
    fs::path file = folder.path() / "Email-0.msg";
    MsgWriteResult written = WriteMsgFile(m, file);
    ASSERT_TRUE(written.ok()) << written.error;

    CommandResult check = CheckCompoundFile(file);
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    std::string failure;
    std::optional<MsgDump> dump = DumpMsg(file, failure);
    ASSERT_TRUE(dump) << failure;
    for (const auto& e : dump->errors) ADD_FAILURE() << e;

    // The read flag, the follow-up flag and the last verb as olefile reads them.
    for (PropTag tag : {PidTagMessageFlags, PidTagFlagStatus, PidTagLastVerbExecuted}) {
        char want[17] = "";
        if (auto v = m.props.int32(tag))
            std::snprintf(want, sizeof want, "%02x%02x%02x%02x00000000", *v & 0xFF, *v >> 8 & 0xFF,
                          *v >> 16 & 0xFF, *v >> 24 & 0xFF);
        EXPECT_EQ(dump->props[""].count(tag) ? dump->props[""][tag] : "", want) << std::hex << tag;
    }

    // The subject property and the header block, as stored.
    auto headers = m.props.string(PidTagTransportMessageHeaders);
    auto subject = m.props.string(PidTagSubject);
    if (subject && !subject->empty()) {
        EXPECT_EQ(dump->texts["__substg1.0_0037001F"], *subject);
    }
    if (headers && !headers->empty()) {
        EXPECT_EQ(dump->texts["__substg1.0_007D001F"], *headers);
    }
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        const Attachment& a = m.attachments[i];
        if (a.embedded) continue;
        char name[64];
        std::snprintf(name, sizeof name, "__attach_version1.0_#%08zX/__substg1.0_37010102", i);
        EXPECT_EQ(dump->sha256[name], Sha256(a.data.data(), a.data.size())) << name;
    }

    for (const MailReader& reader : kMailReaders) {
        SCOPED_TRACE(reader.name);
        if (std::string why = reader.missing(); !why.empty()) {
            std::printf("%s not read back: %s\n", reader.name, why.c_str());
            continue;
        }
        std::optional<ConvertedMail> mail = reader.read(file, failure);
        ASSERT_TRUE(mail) << failure;
        if (subject && !subject->empty() && !(reader.headerBlockWins && headers)) {
            EXPECT_EQ(mail->subject, *subject);
        }
        if (auto body = m.props.string(PidTagBody)) {
            EXPECT_EQ(mail->plain, *body);
        }
        if (const Bytes* html = m.props.binary(PidTagHtml)) {
            EXPECT_EQ(mail->html, std::string(html->begin(), html->end()));
        }
        std::vector<const Attachment*> byValue;
        size_t embedded = 0;
        for (const Attachment& a : m.attachments) {
            if (a.embedded) {
                ++embedded;
            } else if (!reader.signedAsStructure ||
                       a.props.string(PidTagAttachMimeTag).value_or("") != "multipart/signed") {
                byValue.push_back(&a);
            }
        }
        ASSERT_EQ(mail->attachments.size(), byValue.size());
        for (size_t i = 0; i < byValue.size(); ++i) {
            if (auto name = byValue[i]->props.string(PidTagAttachLongFilename)) {
                EXPECT_EQ(mail->attachments[i].name, *name);
            }
            EXPECT_TRUE(mail->attachments[i].data == byValue[i]->data) << "attachment " << i;
        }
        EXPECT_EQ(mail->forwarded.size(), embedded);
    }
}

INSTANTIATE_TEST_SUITE_P(MimeFixtures, MsgFromImport, ::testing::ValuesIn(Fixtures()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param.substr(0, info.param.size() - 4);
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(MsgFromImport);

}  // namespace
}  // namespace quill::store::msg
