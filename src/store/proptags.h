#pragma once
// MAPI property tags used by the message model and both writers, in one place.
// Tag = property id (high 16 bits) | property type (low 16 bits); names are the canonical
// names of [MS-OXPROPS]. Add new tags here, never as bare numbers elsewhere.

#include <cstdint>
#include <cstdio>
#include <string>

namespace quill::store {

using PropTag = uint32_t;

// Property types ([MS-OXCDATA] 2.11.1).
enum PropType : uint16_t {
    PT_SHORT = 0x0002,
    PT_LONG = 0x0003,
    PT_BOOLEAN = 0x000B,
    PT_OBJECT = 0x000D,
    PT_I8 = 0x0014,
    PT_STRING8 = 0x001E,
    PT_UNICODE = 0x001F,
    PT_SYSTIME = 0x0040,
    PT_CLSID = 0x0048,
    PT_BINARY = 0x0102,
    PT_MV_UNICODE = 0x101F,
    PT_MV_BINARY = 0x1102,
};

constexpr uint16_t PropTypeOf(PropTag tag) {
    return static_cast<uint16_t>(tag & 0xFFFF);
}

// A property tag as error messages show it: "0x0037001F".
inline std::string TagText(PropTag tag) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", tag);
    return text;
}

constexpr uint16_t PropIdOf(PropTag tag) {
    return static_cast<uint16_t>(tag >> 16);
}
constexpr PropTag MakeTag(uint16_t id, uint16_t type) {
    return (PropTag(id) << 16) | type;
}

inline constexpr PropTag PidTagNameidStreamGuid =
    0x00020102;  // GUID list of the named-property map
inline constexpr PropTag PidTagNameidStreamEntry = 0x00030102;   // named-property entries
inline constexpr PropTag PidTagNameidStreamString = 0x00040102;  // named-property names
inline constexpr PropTag PidTagImportance = 0x00170003;          // 0 low, 1 normal, 2 high
inline constexpr PropTag PidTagMessageClass = 0x001A001F;        // item class, `IPM.Note`
inline constexpr PropTag PidTagPriority = 0x00260003;  // −1 non-urgent, 0 normal, 1 urgent
inline constexpr PropTag PidTagReadReceiptRequested = 0x0029000B;  // read receipt wanted
inline constexpr PropTag PidTagSensitivity =
    0x00360003;  // 0 none, 1 personal, 2 private, 3 confidential
inline constexpr PropTag PidTagSubject = 0x0037001F;           // full subject
inline constexpr PropTag PidTagClientSubmitTime = 0x00390040;  // sent time (Date header, UTC)
inline constexpr PropTag PidTagSentRepresentingSearchKey = 0x003B0102;  // search key of From
inline constexpr PropTag PidTagSubjectPrefix = 0x003D001F;              // "RE: ", "FW: " …
inline constexpr PropTag PidTagSentRepresentingEntryId = 0x00410102;    // entry ID of From
inline constexpr PropTag PidTagSentRepresentingName = 0x0042001F;       // From display name
inline constexpr PropTag PidTagReplyRecipientEntries = 0x004F0102;      // FlatEntryList of Reply-To
inline constexpr PropTag PidTagReplyRecipientNames = 0x0050001F;        // Reply-To names
inline constexpr PropTag PidTagSentRepresentingAddressType = 0x0064001F;   // `SMTP`
inline constexpr PropTag PidTagSentRepresentingEmailAddress = 0x0065001F;  // From address
inline constexpr PropTag PidTagConversationTopic = 0x0070001F;             // thread topic
inline constexpr PropTag PidTagConversationIndex = 0x00710102;             // thread index
inline constexpr PropTag PidTagTransportMessageHeaders = 0x007D001F;  // raw Internet header block
inline constexpr PropTag PidTagRecipientType = 0x0C150003;            // 1 To, 2 Cc, 3 Bcc
inline constexpr PropTag PidTagSenderEntryId = 0x0C190102;            // entry ID of Sender
inline constexpr PropTag PidTagSenderName = 0x0C1A001F;               // Sender display name
inline constexpr PropTag PidTagSenderSearchKey = 0x0C1D0102;          // search key of Sender
inline constexpr PropTag PidTagSenderAddressType = 0x0C1E001F;        // `SMTP`
inline constexpr PropTag PidTagSenderEmailAddress = 0x0C1F001F;       // Sender address
inline constexpr PropTag PidTagDisplayBcc = 0x0E02001F;               // Bcc names, "; "-separated
inline constexpr PropTag PidTagDisplayCc = 0x0E03001F;                // Cc names
inline constexpr PropTag PidTagDisplayTo = 0x0E04001F;                // To names
inline constexpr PropTag PidTagMessageDeliveryTime = 0x0E060040;      // received time
inline constexpr PropTag PidTagMessageFlags =
    0x0E070003;  // 0x1 read, 0x2 unmodified, 0x4 submit, 0x8 unsent, 0x10 has attachment, 0x20 from
                 // me, 0x40 associated
inline constexpr PropTag PidTagMessageSize = 0x0E080003;        // approximate size in bytes
inline constexpr PropTag PidTagHasAttachments = 0x0E1B000B;     // has visible attachments
inline constexpr PropTag PidTagNormalizedSubject = 0x0E1D001F;  // subject without prefix
inline constexpr PropTag PidTagAttachSize = 0x0E200003;         // attachment size
inline constexpr PropTag PidTagAttachNumber = 0x0E210003;       // attachment index
inline constexpr PropTag PidTagObjectType = 0x0FFE0003;         // 6 mail user, 7 attachment
inline constexpr PropTag PidTagEntryId = 0x0FFF0102;            // recipient entry ID
inline constexpr PropTag PidTagBody = 0x1000001F;               // plain-text body
inline constexpr PropTag PidTagRtfCompressed = 0x10090102;      // compressed RTF body (not written)
inline constexpr PropTag PidTagHtml = 0x10130102;               // HTML body bytes
inline constexpr PropTag PidTagNativeBody = 0x10160003;         // 1 text, 2 RTF, 3 HTML
inline constexpr PropTag PidTagInternetMessageId = 0x1035001F;  // Message-ID
inline constexpr PropTag PidTagInternetReferences = 0x1039001F;  // References
inline constexpr PropTag PidTagInReplyToId = 0x1042001F;         // In-Reply-To
inline constexpr PropTag PidTagListHelp = 0x1043001F;            // List-* headers
inline constexpr PropTag PidTagListSubscribe = 0x1044001F;       // List-* headers
inline constexpr PropTag PidTagListUnsubscribe = 0x1045001F;     // List-* headers
// Follow-up flag, icon and last action of a message ([MS-OXOFLAG] 2.2.1, [MS-OXOMSG] 2.2.1).
inline constexpr PropTag PidTagIconIndex = 0x10800003;
inline constexpr PropTag PidTagLastVerbExecuted = 0x10810003;
inline constexpr PropTag PidTagFlagStatus = 0x10900003;
inline constexpr PropTag PidTagFollowupIcon = 0x10950003;
inline constexpr PropTag PidTagRowid = 0x30000003;  // row number
inline constexpr PropTag PidTagDisplayName =
    0x3001001F;  // recipient name / attachment display name
inline constexpr PropTag PidTagAddressType = 0x3002001F;           // `SMTP`
inline constexpr PropTag PidTagEmailAddress = 0x3003001F;          // address
inline constexpr PropTag PidTagCreationTime = 0x30070040;          // creation time
inline constexpr PropTag PidTagLastModificationTime = 0x30080040;  // modification time
inline constexpr PropTag PidTagSearchKey = 0x300B0102;             // search key
inline constexpr PropTag PidTagStoreSupportMask =
    0x340D0003;  // store capabilities; 0x00040000 = Unicode OK
inline constexpr PropTag PidTagAttachDataBinary = 0x37010102;    // attachment bytes
inline constexpr PropTag PidTagAttachDataObject = 0x3701000D;    // embedded message storage
inline constexpr PropTag PidTagAttachExtension = 0x3703001F;     // `.ext`
inline constexpr PropTag PidTagAttachFilename = 0x3704001F;      // 8.3 name
inline constexpr PropTag PidTagAttachMethod = 0x37050003;        // 1 by value, 5 embedded message
inline constexpr PropTag PidTagAttachLongFilename = 0x3707001F;  // full file name
inline constexpr PropTag PidTagRenderingPosition = 0x370B0003;   // −1 = not positioned
inline constexpr PropTag PidTagAttachMimeTag = 0x370E001F;       // MIME type
inline constexpr PropTag PidTagAttachContentBase = 0x3711001F;   // Content-Base
inline constexpr PropTag PidTagAttachContentId = 0x3712001F;     // Content-ID without brackets
inline constexpr PropTag PidTagAttachContentLocation = 0x3713001F;  // Content-Location
inline constexpr PropTag PidTagAttachFlags =
    0x37140003;  // 0x1 invisible in HTML, 0x2 invisible in RTF, 0x4 rendered in body
inline constexpr PropTag PidTagDisplayType = 0x39000003;               // 0 mail user
inline constexpr PropTag PidTagSmtpAddress = 0x39FE001F;               // SMTP address
inline constexpr PropTag PidTagTransmittableDisplayName = 0x3A20001F;  // name
inline constexpr PropTag PidTagSendRichInfo = 0x3A40000B;              // FALSE
inline constexpr PropTag PidTagInternetCodepage = 0x3FDE0003;  // code page of the body (HTML bytes)
inline constexpr PropTag PidTagMessageCodepage = 0x3FFD0003;   // code page of PT_STRING8 values
inline constexpr PropTag PidTagSenderSmtpAddress = 0x5D01001F;            // Sender SMTP address
inline constexpr PropTag PidTagSentRepresentingSmtpAddress = 0x5D02001F;  // From SMTP address
inline constexpr PropTag PidTagRecipientDisplayName = 0x5FF6001F;         // name
inline constexpr PropTag PidTagRecipientFlags = 0x5FFD0003;               // 1 sendable
inline constexpr PropTag PidTagAttachmentHidden = 0x7FFE000B;  // hide from the attachment well

// Folders, the message store and the tables of a PST ([MS-PST] 2.4, [MS-OXPROPS]).
inline constexpr PropTag PidTagNameidBucketCount =
    0x00010003;  // 251 hash buckets of the named-property map
inline constexpr PropTag PidTagMessageToMe = 0x0057000B;        // recipient is in To
inline constexpr PropTag PidTagMessageCcMe = 0x0058000B;        // recipient is in Cc
inline constexpr PropTag PidTagParentDisplay = 0x0E05001F;      // display name of the parent folder
inline constexpr PropTag PidTagResponsibility = 0x0E0F000B;     // recipient handled
inline constexpr PropTag PidTagMessageRecipients = 0x0E12000D;  // recipient table object
inline constexpr PropTag PidTagMessageAttachments = 0x0E13000D;    // attachment table object
inline constexpr PropTag PidTagSubmitFlags = 0x0E140003;           // outgoing queue: submit state
inline constexpr PropTag PidTagMessageStatus = 0x0E170003;         // message status flags
inline constexpr PropTag PidTagExchangeRemoteHeader = 0x0E2A000B;  // search contents column
inline constexpr PropTag PidTagReplItemid = 0x0E300102;            // replication item id
inline constexpr PropTag PidTagReplChangenum = 0x0E330014;         // replication change number
inline constexpr PropTag PidTagReplVersionhistory = 0x0E340102;    // replication version history
inline constexpr PropTag PidTagReplFlags = 0x0E380003;             // replication flags
inline constexpr PropTag PidTagReplCopiedfromVersionhistory =
    0x0E3C0102;                                                    // replication source history
inline constexpr PropTag PidTagReplCopiedfromItemid = 0x0E3D0102;  // replication source item
inline constexpr PropTag PidTagReplSourceid = 0x0E3E0102;  // replication source id (0x6D7 table)
inline constexpr PropTag PidTagDeferredSendTime =
    0x0E100003;                                              // outgoing queue column (0x64C table)
inline constexpr PropTag PidTagReplGroupId = 0x0E310102;     // 0x6D7 table column
inline constexpr PropTag PidTagReplicaVersion = 0x0E370102;  // 0x6B6 table column
inline constexpr PropTag PidTagRecordKey = 0x0FF90102;       // store: the provider UID of the file
inline constexpr PropTag PidTagItemTemporaryFlags = 0x10970003;  // contents column
inline constexpr PropTag PidTagValidFolderMask = 0x35DF0003;     // which special folders exist
inline constexpr PropTag PidTagIpmSubTreeEntryId =
    0x35E00102;  // entry id of the top of personal folders
inline constexpr PropTag PidTagIpmWastebasketEntryId = 0x35E30102;  // entry id of Deleted Items
inline constexpr PropTag PidTagFinderEntryId = 0x35E70102;          // entry id of the search root
inline constexpr PropTag PidTagContentCount = 0x36020003;           // messages in the folder
inline constexpr PropTag PidTagContentUnreadCount = 0x36030003;     // unread messages in the folder
inline constexpr PropTag PidTagSubfolders = 0x360A000B;             // folder has subfolders
inline constexpr PropTag PidTagContainerClass = 0x3613001F;         // `IPF.Note`
inline constexpr PropTag PidTagTransmittableDisplayName7Bit = 0x39FF001F;  // PidTag7BitDisplayName
inline constexpr PropTag PidTagRecipientOrder = 0x5FDF0003;        // position of the recipient
inline constexpr PropTag PidTagRecipientTrackStatus = 0x5FFF0003;  // 0 none
inline constexpr PropTag PidTagReceiveFolderTarget =
    0x66050003;  // receive folder table: the folder's NID
inline constexpr PropTag PidTagSearchCriteriaFlags = 0x660B0003;  // search criteria object (0x2227)
inline constexpr PropTag PidTagPstHiddenCount = 0x66350003;       // hidden messages in the folder
inline constexpr PropTag PidTagPstHiddenUnread = 0x66360003;      // hidden unread messages
inline constexpr PropTag PidTagSecureSubmitFlags = 0x65C60003;    // contents column
inline constexpr PropTag PidTagLtpParentNid = 0x67F10003;  // search contents: the message's folder
inline constexpr PropTag PidTagPstPassword = 0x67FF0003;   // 0: no password
inline constexpr PropTag PidTagOfflineAddressBookName = 0x6800001F;   // FAI contents column
inline constexpr PropTag PidTagSendOutlookRecallReport = 0x6803000B;  // FAI contents column
inline constexpr PropTag PidTagOfflineAddressBookTruncatedProperties =
    0x68051003;                                             // FAI contents column
inline constexpr PropTag PidTagFaiColumn682F = 0x682F001F;  // FAI contents column Outlook writes
inline constexpr PropTag PidTagViewDescriptorFlags = 0x70030003;       // FAI contents column
inline constexpr PropTag PidTagViewDescriptorLinkTo = 0x70040102;      // FAI contents column
inline constexpr PropTag PidTagViewDescriptorViewFolder = 0x70050102;  // FAI contents column
inline constexpr PropTag PidTagViewDescriptorName = 0x7006001F;        // FAI contents column
inline constexpr PropTag PidTagViewDescriptorVersion = 0x70070003;     // FAI contents column

// Message flags (PidTagMessageFlags).
inline constexpr int32_t MSGFLAG_READ = 0x0001;
inline constexpr int32_t MSGFLAG_UNMODIFIED = 0x0002;
inline constexpr int32_t MSGFLAG_UNSENT = 0x0008;
inline constexpr int32_t MSGFLAG_HASATTACH = 0x0010;

// Recipient types (PidTagRecipientType).
inline constexpr int32_t MAPI_TO = 1;
inline constexpr int32_t MAPI_CC = 2;
inline constexpr int32_t MAPI_BCC = 3;

// Attach methods (PidTagAttachMethod).
inline constexpr int32_t ATTACH_BY_VALUE = 1;
inline constexpr int32_t ATTACH_EMBEDDED_MSG = 5;

// Importance, priority and sensitivity values (PidTagImportance, PidTagPriority,
// PidTagSensitivity).
inline constexpr int32_t IMPORTANCE_LOW = 0;
inline constexpr int32_t IMPORTANCE_NORMAL = 1;
inline constexpr int32_t IMPORTANCE_HIGH = 2;
inline constexpr int32_t PRIO_NONURGENT = -1;
inline constexpr int32_t PRIO_NORMAL = 0;
inline constexpr int32_t PRIO_URGENT = 1;
inline constexpr int32_t SENSITIVITY_NONE = 0;
inline constexpr int32_t SENSITIVITY_PERSONAL = 1;
inline constexpr int32_t SENSITIVITY_PRIVATE = 2;
inline constexpr int32_t SENSITIVITY_COMPANY_CONFIDENTIAL = 3;

// Object and display types (PidTagObjectType, PidTagDisplayType), recipient flags.
inline constexpr int32_t MAPI_MAILUSER = 6;
inline constexpr int32_t MAPI_ATTACH = 7;
inline constexpr int32_t DT_MAILUSER = 0;
inline constexpr int32_t RECIP_SENDABLE = 0x0001;  // recipSendable of PidTagRecipientFlags

// Attachment flags (PidTagAttachFlags).
inline constexpr int32_t ATT_INVISIBLE_IN_HTML = 0x0001;
inline constexpr int32_t ATT_INVISIBLE_IN_RTF = 0x0002;
inline constexpr int32_t ATT_MHTML_REF = 0x0004;  // rendered in the HTML body

// PidTagNativeBody values.
inline constexpr int32_t NATIVE_BODY_PLAIN = 1;
inline constexpr int32_t NATIVE_BODY_RTF = 2;
inline constexpr int32_t NATIVE_BODY_HTML = 3;

// Store support mask bits (PidTagStoreSupportMask).
inline constexpr int32_t STORE_ENTRYID_UNIQUE = 0x00000001;
inline constexpr int32_t STORE_MODIFY_OK = 0x00000008;
inline constexpr int32_t STORE_CREATE_OK = 0x00000010;
inline constexpr int32_t STORE_ATTACH_OK = 0x00000020;
inline constexpr int32_t STORE_OLE_OK = 0x00000040;
inline constexpr int32_t STORE_MV_PROPS_OK = 0x00000200;
inline constexpr int32_t STORE_CATEGORIZE_OK = 0x00000400;
inline constexpr int32_t STORE_RTF_OK = 0x00000800;
inline constexpr int32_t STORE_UNICODE_OK = 0x00040000;
// The mask Outlook writes into Unicode .msg files (0x00040E79).
inline constexpr int32_t STORE_SUPPORT_MASK_UNICODE =
    STORE_UNICODE_OK | STORE_RTF_OK | STORE_CATEGORIZE_OK | STORE_MV_PROPS_OK | STORE_OLE_OK |
    STORE_ATTACH_OK | STORE_CREATE_OK | STORE_MODIFY_OK | STORE_ENTRYID_UNIQUE;

}  // namespace quill::store
