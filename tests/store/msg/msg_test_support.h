#pragma once
// Helpers of the .msg writer tests: temporary folders, running the outside readers
// (msgconvert, olefile, the compound-file checker) and reading back what they print.

#include <gmime/gmime.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "store/model.h"

namespace quill::store::msg::testing {

namespace fs = std::filesystem;

// A folder under the system's temporary folder, removed with everything in it.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

struct CommandResult {
    int status = -1;  // exit status, -1 when it did not run or ended by a signal
    std::string out;
    std::string err;
};
CommandResult RunCommand(const std::string& command);
std::string Quote(const std::string& text);

// Why a reader cannot be used, or empty when it can.
std::string MissingPython();
std::string MissingMsgconvert();

// Output of cfb_check.py.
CommandResult CheckCompoundFile(const fs::path& file);

// Output of msg_dump.py, parsed.
struct MsgDump {
    std::vector<std::string> errors;
    std::map<std::string, std::string> clsids;    // storage path -> hex ("" = root)
    std::map<std::string, uint64_t> streamSizes;  // stream path -> size
    std::map<std::string, std::string> sha256;    // stream path -> hex
    std::map<std::string, std::string> texts;     // PtypString stream path -> UTF-8 text
    std::map<std::string, std::string> headers;   // storage path -> header hex
    // storage path -> tag -> 8-byte field hex
    std::map<std::string, std::map<uint32_t, std::string>> props;
};
std::optional<MsgDump> DumpMsg(const fs::path& file, std::string& failure);

// What msgconvert turned the file into, read with GMime.
struct Address {
    std::string name;
    std::string address;
    bool operator==(const Address&) const = default;
};
inline void PrintTo(const Address& a, std::ostream* os) {
    *os << a.name << " <" << a.address << ">";
}
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
std::optional<ConvertedMail> ConvertWithMsgconvert(const fs::path& file, std::string& failure);
// What @kenjiuno/msgreader (npm, node) reads from the file, in the same form.
std::optional<ConvertedMail> ReadWithMsgreader(const fs::path& file, std::string& failure);
std::string MissingMsgreader();

// The readers that give a .msg back as a user sees it, and where they show it differently.
struct MailReader {
    const char* name;
    std::string (*missing)();
    std::optional<ConvertedMail> (*read)(const fs::path& file, std::string& failure);
    // Shows the Subject of a stored header block (PidTagTransportMessageHeaders), not the
    // subject property.
    bool headerBlockWins;
    // Pastes a kept multipart/signed entity into its output as MIME structure, not as an
    // attachment.
    bool signedAsStructure;
    // Reads the property stream of an attached message past an 8-byte header, not its
    // 24 bytes: with no recipient, the next recipient id reads as the end of the stream, and
    // the message shows no date.
    bool attachedWithoutRecipientsHasNoDate;
};
inline constexpr MailReader kMailReaders[] = {
    {"msgconvert", MissingMsgconvert, ConvertWithMsgconvert, true, true, false},
    {"msgreader", MissingMsgreader, ReadWithMsgreader, false, false, true},
};
// A MIME message file read the same way (readpst's output, for one).
std::optional<ConvertedMail> ReadMimeFile(const fs::path& file);

std::string Sha256(const uint8_t* data, size_t size);
Bytes ReadFile(const fs::path& file);
void WriteFile(const fs::path& file, const Bytes& data);

}  // namespace quill::store::msg::testing
