#include "convert/store_step.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "shell/file_io.h"
#include "store/limits.h"
#include "store/mime/import.h"

namespace quill {

namespace fs = std::filesystem;

namespace {

// The whole file, read at once, when it is a plain file of at most kInMemoryLimit; nothing
// when it is better parsed from the file in bounded memory (or cannot be opened: the import
// then says why).
std::optional<store::Bytes> ReadSmallFile(const std::string& file, std::string& error) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<store::Bytes> bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) <= store::kInMemoryLimit) {
        bytes.emplace(static_cast<size_t>(st.st_size));
        IoResult read = PreadAll(fd, bytes->data(), bytes->size(), 0);
        if (read.error) {
            error = "Could not read the message file " + file + " at offset " +
                    std::to_string(read.done) + ": " + std::strerror(read.error);
            bytes.reset();
        } else {
            bytes->resize(read.done);  // shorter than it was a moment ago
        }
    }
    ::close(fd);
    return bytes;
}

}  // namespace

std::optional<store::Message> ImportMessage(const std::string& file, const MessageBytes& bytes,
                                            std::string& error, bool* expunged) {
    auto taken = [expunged](store::mime::ImportResult result) {
        if (expunged) *expunged = result.expunged;
        return std::move(result.message);
    };
    try {
        if (bytes) {
            const auto* data = reinterpret_cast<const uint8_t*>(bytes->data());
            return taken(store::mime::ImportMessageBuffer({data, bytes->size()}));
        }
        std::optional<store::Bytes> whole = ReadSmallFile(file, error);
        if (!error.empty()) return std::nullopt;
        if (whole) return taken(store::mime::ImportMessageBuffer(*whole));
        return taken(store::mime::ImportMessageFile(file));
    } catch (const store::mime::ImportError& e) {
        error = e.what();
    } catch (const std::exception& e) {
        error = "Could not convert message file " + file + ": " + e.what();
    }
    return std::nullopt;
}

uint64_t MessageFileSize(const std::string& file) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    return ec ? 0 : static_cast<uint64_t>(size);
}

StoreError RemoveMessageFile(const std::string& file) {
    std::error_code ec;
    if (!fs::remove(file, ec) && ec)
        return "Could not delete the message file " + file + ": " + ec.message();
    return std::nullopt;
}

StoreError KeepMessageFile(const StoredMessage& m) {
    const std::string suffix = MessageFilePartPath("");
    if (m.file.ends_with(suffix)) {
        std::error_code ec;
        if (fs::is_regular_file(fs::symlink_status(m.file, ec)))
            fs::rename(m.file, m.file.substr(0, m.file.size() - suffix.size()), ec);
    }
    return m.error;
}

StoreError KeepHeldMessage(const StoredMessage& m) {
    if (!m.held || !m.file.ends_with(MessageFilePartPath(""))) return m.error;
    int fd = ::open(m.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return m.error;
    const bool whole = WriteAll(fd, m.held->data(), m.held->size()).error == 0;
    if (::close(fd) == 0 && whole) return KeepMessageFile(m);
    ::unlink(m.file.c_str());  // the message is still in its mailbox
    return m.error;
}

}  // namespace quill
