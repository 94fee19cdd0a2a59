#pragma once
// A message of the message model as PST objects ([MS-PST] 2.4.5, 2.4.6): its property context,
// recipient table, attachment table and attachment objects (embedded messages nested in
// their attachments), and the row it gets in its folder's contents table.

#include <vector>

#include "store/model.h"
#include "store/pst/ltp/prop_value.h"
#include "store/pst/messaging/name_map.h"
#include "store/pst/node_content.h"

namespace quill::store::pst::messaging {

struct BuiltMessage {
    NodeContent node;                        // the message node with its subnodes
    std::vector<ltp::Property> contentsRow;  // its cells in the folder's contents table
    bool read = false;
};

// Named properties of the message get their ids from `names`. Large values (attachment data,
// bodies) are not copied: the node refers to them where `message` holds them, so it must be
// stored while the message lives. `breather` is called while the size of a long body is
// counted. Throws LtpError for a value the format cannot hold.
BuiltMessage BuildMessage(const Message& message, NameIdMap& names,
                          const ltp::Breather& breather = {});

// The subject as Outlook stores it ([MS-PST] 2.5.3.1.1): U+0001, one character giving the
// length of the prefix ("RE: ") plus one, then the whole subject.
Bytes EncodeSubject(const std::string& subject, const std::string& prefix);

}  // namespace quill::store::pst::messaging
