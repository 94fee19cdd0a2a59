#pragma once
// A MIME message file read back with GMime as a user sees it: what msgconvert makes of a .msg
// file, what readpst makes of a .pst store.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/model.h"

namespace quill::store::msg::testing {

struct Address {
    std::string name;
    std::string address;
};
struct ConvertedAttachment {
    std::string name;
    Bytes data;
};
struct ConvertedMail {
    std::string subject;
    Address from;
    std::vector<Address> to, cc;
    int64_t date = 0;    // Unix seconds
    std::string status;  // the Status header: "RO" is readpst's mark of a read message
    std::string plain, html;
    std::vector<ConvertedAttachment> attachments;
    std::vector<std::shared_ptr<ConvertedMail>> forwarded;
};
std::optional<ConvertedMail> ReadMimeFile(const std::filesystem::path& file);

}  // namespace quill::store::msg::testing
