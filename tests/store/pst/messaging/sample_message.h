#pragma once
// A message of the kinds of values the conversion run fills: subject with prefix, sender, To and
// Cc, a date, a body, a small and a large attachment, a forwarded message.

#include <string>

#include "store/model.h"

namespace quill::store::pst::messaging::testing {

inline Message SampleMessage(const std::string& subject, bool read = true,
                             size_t bigAttachment = 100000) {
    Message m;
    m.props.set(PidTagMessageClass, std::string("IPM.Note"));
    m.props.set(PidTagSubject, "RE: " + subject);
    m.props.set(PidTagSubjectPrefix, std::string("RE: "));
    m.props.set(PidTagNormalizedSubject, subject);
    m.props.set(PidTagClientSubmitTime, FileTime{133800000000000000ULL});
    m.props.set(PidTagSentRepresentingName, std::string("Anna Müller"));
    m.props.set(PidTagSentRepresentingEmailAddress, std::string("anna@example.org"));
    m.props.set(PidTagDisplayTo, std::string("Bob Smith"));
    m.props.set(PidTagBody, std::string("Hello Bob,\r\nthe plain body \xE2\x9C\x93.\r\n"));
    m.props.set(PidTagMessageFlags, int32_t(read ? MSGFLAG_READ : 0));
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
    std::string text = "some notes\n";
    small.data = Bytes(text.begin(), text.end());
    m.attachments.push_back(std::move(small));
    Attachment big;
    big.props.set(PidTagAttachLongFilename, std::string("Übersicht.bin"));
    big.data = Bytes(bigAttachment, 0xA5);
    m.attachments.push_back(std::move(big));
    Attachment forwarded;
    forwarded.props.set(PidTagDisplayName, std::string("Forwarded message"));
    forwarded.embedded = std::make_unique<Message>();
    Message& inner = *forwarded.embedded;
    inner.props.set(PidTagSubject, std::string("Inner subject"));
    inner.props.set(PidTagBody, std::string("Inner body"));
    m.attachments.push_back(std::move(forwarded));
    return m;
}

}  // namespace quill::store::pst::messaging::testing
