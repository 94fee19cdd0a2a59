#pragma once
// The column sets of the tables of a PST, in the order Outlook lays them out ([MS-PST] 2.4.4.5
// and following): every folder's hierarchy, contents and associated-contents tables, the search
// contents table, and every message's recipient and attachment tables start from these.

#include <span>

#include "store/proptags.h"

namespace quill::store::pst::messaging {

std::span<const PropTag> HierarchyTableColumns();       // template 0x60D
std::span<const PropTag> ContentsTableColumns();        // template 0x60E
std::span<const PropTag> AssocContentsTableColumns();   // template 0x60F
std::span<const PropTag> SearchContentsTableColumns();  // template 0x610
std::span<const PropTag> AttachmentTableColumns();      // template 0x671
std::span<const PropTag> RecipientTableColumns();       // template 0x692
// The tables of a message: the templates plus the columns Outlook adds when it writes one.
std::span<const PropTag> MessageAttachmentTableColumns();
std::span<const PropTag> MessageRecipientTableColumns();

}  // namespace quill::store::pst::messaging
