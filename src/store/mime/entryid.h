#pragma once
// Entry identifiers for addresses that are in no address book: one-off entry IDs
// ([MS-OXCDATA] 2.2.5.1) and the FlatEntryList that carries several of them.

#include <string>
#include <vector>

#include "store/model.h"

namespace quill::store::mime {

// A one-off entry ID in its Unicode form; strings are UTF-8 and written as UTF-16LE.
Bytes OneOffEntryId(const std::string& displayName, const std::string& addressType,
                    const std::string& address);

// A FlatEntryList ([MS-OXCDATA] 2.3.3): count, total size, then each entry ID with its size,
// padded to a multiple of 4 bytes.
Bytes FlatEntryList(const std::vector<Bytes>& entries);

}  // namespace quill::store::mime
