#pragma once
// A message with everything the conversion run fills: subject with prefix, sender, To and Cc,
// dates, plain and HTML body, headers, a small and a large attachment, a forwarded message.

#include <string>

#include "store/model.h"

namespace quill::store::pst::messaging::testing {

inline constexpr uint64_t kSampleTime = 133800000000000000ULL;  // 2024-12-30 02:40:00 UTC

inline Bytes PatternBytes(size_t size) {
    Bytes b(size);
    for (size_t k = 0; k < size; ++k) b[k] = static_cast<uint8_t>(k * 7 + k / 251);
    return b;
}

inline Message SampleMessage(const std::string& subject, bool read = true,
                             size_t bigAttachment = 100000) {
    Message m;
    m.props.set(PidTagMessageClass, std::string("IPM.Note"));
    m.props.set(PidTagSubject, "RE: " + subject);
    m.props.set(PidTagSubjectPrefix, std::string("RE: "));
    m.props.set(PidTagNormalizedSubject, subject);
    m.props.set(PidTagClientSubmitTime, FileTime{kSampleTime});
    m.props.set(PidTagMessageDeliveryTime, FileTime{kSampleTime});
    m.props.set(PidTagSentRepresentingName, std::string("Anna Müller"));
    m.props.set(PidTagSentRepresentingEmailAddress, std::string("anna@example.org"));
    m.props.set(PidTagSentRepresentingAddressType, std::string("SMTP"));
    m.props.set(PidTagSenderName, std::string("Anna Müller"));
    m.props.set(PidTagSenderEmailAddress, std::string("anna@example.org"));
    m.props.set(PidTagSenderAddressType, std::string("SMTP"));
    m.props.set(PidTagDisplayTo, std::string("Bob Smith"));
    m.props.set(PidTagDisplayCc, std::string("Carol"));
    m.props.set(PidTagBody, std::string("Hello Bob,\r\nthe plain body \xE2\x9C\x93.\r\n"));
    std::string html = "<html><body><p>Hello <b>Bob</b> \xE2\x9C\x93</p></body></html>";
    m.props.set(PidTagHtml, Bytes(html.begin(), html.end()));
    m.props.set(PidTagInternetCodepage, int32_t(65001));
    m.props.set(PidTagMessageFlags, int32_t(read ? MSGFLAG_READ : 0));
    m.props.set(PidTagInternetMessageId,
                std::string("<" + std::to_string(subject.size()) + "@example.org>"));
    m.props.set(PidTagHasAttachments, true);

    Recipient to;
    to.props.set(PidTagRecipientType, MAPI_TO);
    to.props.set(PidTagDisplayName, std::string("Bob Smith"));
    to.props.set(PidTagEmailAddress, std::string("bob@example.org"));
    Recipient cc;
    cc.props.set(PidTagRecipientType, MAPI_CC);
    cc.props.set(PidTagDisplayName, std::string("Carol"));
    cc.props.set(PidTagEmailAddress, std::string("carol@example.org"));
    m.recipients.push_back(std::move(to));
    m.recipients.push_back(std::move(cc));

    Attachment small;
    small.props.set(PidTagAttachLongFilename, std::string("notes.txt"));
    small.props.set(PidTagAttachFilename, std::string("notes.txt"));
    small.props.set(PidTagAttachMimeTag, std::string("text/plain"));
    std::string text = "some notes\n";
    small.data = Bytes(text.begin(), text.end());
    m.attachments.push_back(std::move(small));
    Attachment big;
    big.props.set(PidTagAttachLongFilename, std::string("Übersicht.bin"));
    big.props.set(PidTagAttachFilename, std::string("BERSIC~1.BIN"));
    big.data = PatternBytes(bigAttachment);
    m.attachments.push_back(std::move(big));
    Attachment forwarded;
    forwarded.props.set(PidTagDisplayName, std::string("Forwarded message"));
    forwarded.embedded = std::make_unique<Message>();
    Message& inner = *forwarded.embedded;
    inner.props.set(PidTagSubject, std::string("Inner subject"));
    inner.props.set(PidTagBody, std::string("Inner body"));
    inner.props.set(PidTagSentRepresentingName, std::string("Dave"));
    inner.props.set(PidTagSentRepresentingEmailAddress, std::string("dave@example.org"));
    inner.props.set(PidTagMessageFlags, int32_t(MSGFLAG_READ));
    Recipient innerTo;
    innerTo.props.set(PidTagDisplayName, std::string("Erin"));
    innerTo.props.set(PidTagEmailAddress, std::string("erin@example.org"));
    inner.recipients.push_back(std::move(innerTo));
    m.attachments.push_back(std::move(forwarded));
    return m;
}

}  // namespace quill::store::pst::messaging::testing
