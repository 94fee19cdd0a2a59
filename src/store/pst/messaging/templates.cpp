#include "store/pst/messaging/templates.h"

#include "store/pst/ltp/ltp.h"
#include "store/pst/pst_base.h"
namespace quill::store::pst::messaging {

namespace {

// Column orders as Outlook writes the templates; the LTP layer's layout rule turns each into
// Outlook's exact offsets and cell-existence bits.
constexpr PropTag kHierarchy[] = {
    PidTagDisplayName,    PidTagContentCount,   PidTagContentUnreadCount, PidTagSubfolders,
    PidTagReplItemid,     PidTagReplChangenum,  PidTagReplVersionhistory, PidTagReplFlags,
    PidTagContainerClass, PidTagPstHiddenCount, PidTagPstHiddenUnread,
};

constexpr PropTag kContents[] = {
    PidTagMessageStatus,
    PidTagMessageClass,
    PidTagMessageFlags,
    PidTagImportance,
    PidTagSentRepresentingName,
    PidTagSubject,
    PidTagMessageDeliveryTime,
    PidTagClientSubmitTime,
    PidTagMessageSize,
    PidTagDisplayTo,
    PidTagDisplayCc,
    PidTagMessageToMe,
    PidTagMessageCcMe,
    PidTagSensitivity,
    PidTagItemTemporaryFlags,
    PidTagConversationTopic,
    PidTagConversationIndex,
    PidTagSecureSubmitFlags,
    PidTagLastModificationTime,
    PidTagReplItemid,
    PidTagReplChangenum,
    PidTagReplVersionhistory,
    PidTagReplCopiedfromItemid,
    PidTagReplCopiedfromVersionhistory,
    PidTagReplFlags,
};

constexpr PropTag kAssocContents[] = {
    PidTagMessageStatus,
    PidTagMessageClass,
    PidTagMessageFlags,
    PidTagDisplayName,
    PidTagViewDescriptorFlags,
    PidTagViewDescriptorLinkTo,
    PidTagViewDescriptorViewFolder,
    PidTagViewDescriptorName,
    PidTagViewDescriptorVersion,
    PidTagOfflineAddressBookName,
    PidTagSendOutlookRecallReport,
    PidTagOfflineAddressBookTruncatedProperties,
    PidTagFaiColumn682F,
};

constexpr PropTag kSearchContents[] = {
    PidTagLtpParentNid,
    PidTagParentDisplay,
    PidTagMessageStatus,
    PidTagMessageClass,
    PidTagMessageFlags,
    PidTagImportance,
    PidTagSentRepresentingName,
    PidTagSubject,
    PidTagMessageDeliveryTime,
    PidTagMessageSize,
    PidTagDisplayTo,
    PidTagDisplayCc,
    PidTagMessageToMe,
    PidTagMessageCcMe,
    PidTagSensitivity,
    PidTagExchangeRemoteHeader,
    PidTagLastModificationTime,
};

constexpr PropTag kAttachment[] = {
    PidTagRenderingPosition,
    PidTagAttachSize,
    PidTagAttachMethod,
    PidTagAttachFilename,
};

constexpr PropTag kRecipient[] = {
    PidTagResponsibility, PidTagAddressType,  PidTagEmailAddress,
    PidTagEntryId,        PidTagDisplayName,  PidTagRecipientType,
    PidTagSearchKey,      PidTagRecordKey,    PidTagObjectType,
    PidTagDisplayType,    PidTagSendRichInfo, PidTagTransmittableDisplayName7Bit,
};

constexpr PropTag kMessageAttachment[] = {
    PidTagRenderingPosition, PidTagAttachSize,         PidTagAttachMethod,
    PidTagAttachFilename,    PidTagAttachLongFilename, PidTagAttachMimeTag,
};

constexpr PropTag kMessageRecipient[] = {
    PidTagResponsibility,
    PidTagAddressType,
    PidTagEmailAddress,
    PidTagEntryId,
    PidTagDisplayName,
    PidTagRecipientType,
    PidTagSearchKey,
    PidTagRecordKey,
    PidTagObjectType,
    PidTagDisplayType,
    PidTagSendRichInfo,
    PidTagTransmittableDisplayName7Bit,
    PidTagSmtpAddress,
    PidTagRecipientDisplayName,
    PidTagRecipientOrder,
    PidTagRecipientFlags,
    PidTagRecipientTrackStatus,
};

}  // namespace

std::span<const PropTag> HierarchyTableColumns() {
    return kHierarchy;
}
std::span<const PropTag> ContentsTableColumns() {
    return kContents;
}
std::span<const PropTag> AssocContentsTableColumns() {
    return kAssocContents;
}
std::span<const PropTag> SearchContentsTableColumns() {
    return kSearchContents;
}
std::span<const PropTag> AttachmentTableColumns() {
    return kAttachment;
}
std::span<const PropTag> RecipientTableColumns() {
    return kRecipient;
}
std::span<const PropTag> MessageAttachmentTableColumns() {
    return kMessageAttachment;
}
std::span<const PropTag> MessageRecipientTableColumns() {
    return kMessageRecipient;
}

}  // namespace quill::store::pst::messaging
