#include "convert/store_outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "shell/paths.h"
#include "store/mime/import.h"
#include "store/msg/msg_writer.h"
#include "store/pst/messaging/pst_error.h"
#include "store/pst/messaging/pst_store.h"

namespace quill {

namespace fs = std::filesystem;
namespace pst = store::pst::messaging;

namespace {

// Message files up to this size are read with one read and parsed in memory; larger ones are
// parsed from the file, in bounded memory. The message files of a mailbox are mostly small,
// and reading them in small pieces costs more system calls than the parse itself.
constexpr uint64_t kReadWholeLimit = uint64_t(8) << 20;

// The whole file when it is a small plain file, nothing when it is better parsed from the
// file (or cannot be opened: the import then says why).
std::optional<store::Bytes> ReadSmallFile(const std::string& file, std::string& error) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<store::Bytes> bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_size) <= kReadWholeLimit) {
        bytes.emplace(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < bytes->size()) {
            ssize_t n =
                ::pread(fd, bytes->data() + done, bytes->size() - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = "Could not read the message file " + file + " at offset " +
                        std::to_string(done) + ": " + std::strerror(errno);
                bytes.reset();
                break;
            }
            if (n == 0) {  // shorter than it was a moment ago
                bytes->resize(done);
                break;
            }
            done += static_cast<size_t>(n);
        }
    }
    ::close(fd);
    return bytes;
}

// Imports one message file; the error text says which file and why.
std::optional<store::Message> Import(const std::string& file, std::string& error,
                                     const store::mime::ImportOptions& options) {
    try {
        std::optional<store::Bytes> whole = ReadSmallFile(file, error);
        if (!error.empty()) return std::nullopt;
        if (whole) return store::mime::ImportMessageBuffer(*whole, options).message;
        return store::mime::ImportMessageFile(file, options).message;
    } catch (const store::mime::ImportError& e) {
        error = e.what();
    } catch (const std::exception& e) {
        error = "Could not convert message file " + file + ": " + e.what();
    }
    return std::nullopt;
}

StoreError RemoveMessageFile(const std::string& file) {
    std::error_code ec;
    if (!fs::remove(file, ec) && ec)
        return "Could not delete the message file " + file + ": " + ec.message();
    return std::nullopt;
}

// One .msg file per message, beside where its .eml would have stayed.
class MsgOutput : public StoreOutput {
  public:
    void setYieldClock(YieldClock* clock) override { importOptions_.yield = clock; }
    StoreError open(const std::string&) override { return std::nullopt; }
    StoreError beginMailbox(const std::string&, const std::string& outputFolder) override {
        folder_ = outputFolder;
        return std::nullopt;
    }
    StoreError storeMessage(uint64_t k, const std::string& file) override {
        std::string error;
        auto message = Import(file, error, importOptions_);
        if (!message) return error;
        std::string target = AddTrailingSeparator(folder_) + "Email-" + std::to_string(k) + ".msg";
        // The message file is spent once imported: the .msg takes its place on the disk.
        store::msg::MsgWriteOptions options;
        options.spentFile = file;
        options.yieldClock = importOptions_.yield;
        store::msg::MsgWriteResult written = store::msg::WriteMsgFile(*message, target, options);
        // The program is ending: the run stops at its next yield, nothing half-written stays.
        if (written.cancelled) return std::nullopt;
        if (!written) return written.error;
        if (written.spentFileConsumed) return std::nullopt;
        return RemoveMessageFile(file);
    }
    StoreError close() override { return std::nullopt; }

  private:
    std::string folder_;
    store::mime::ImportOptions importOptions_;
};

// One new store for the run, a folder per mailbox, committed after mailboxes (at most every
// few seconds, so that a run over many small mailboxes is not all commits) and at the end.
class PstOutput : public StoreOutput {
  public:
    void setYieldClock(YieldClock* clock) override { importOptions_.yield = clock; }
    StoreError open(const std::string& outputFolder) override {
        const std::string stamp = StoreTimeStamp(std::time(nullptr));
        path_ = outputFolder + "MBOX" + stamp + ".pst";
        return guard([&] {
            store_ = pst::PstStore::create(path_, "MBOX Mailbox : Created - " + stamp);
            if (YieldClock* clock = importOptions_.yield)
                store_->setBreather([clock] { clock->maybeYield(); });
            lastCommit_ = std::chrono::steady_clock::now();
        });
    }
    StoreError beginMailbox(const std::string& name, const std::string&) override {
        return guard([&] { folder_ = store_->addFolder(name); });
    }
    StoreError storeMessage(uint64_t, const std::string& file) override {
        // A large message spends tens of milliseconds in steps that cannot yield midway (the
        // MIME parser's scan of the file, copying an attachment into the store's buffers):
        // each of them starts on a fresh time budget.
        YieldClock* clock = importOptions_.yield;
        std::error_code sizeError;
        const bool large = clock && fs::file_size(file, sizeError) > kLargeMessageFile;
        if (large) clock->yieldNow();
        std::string error;
        std::optional<store::Message> message = Import(file, error, importOptions_);
        if (!message) return error;
        if (large) clock->yieldNow();
        if (StoreError e = guard([&] { store_->addMessage(folder_, *message); })) return e;
        message.reset();
        return RemoveMessageFile(file);
    }
    StoreError endMailbox() override {
        // The folder's rows are written now and leave memory; the store is committed at most
        // every few seconds, so that a run over many small mailboxes is not all commits.
        if (StoreError e = guard([&] { store_->finishFolder(folder_); })) return e;
        if (std::chrono::steady_clock::now() - lastCommit_ < kCommitInterval) return std::nullopt;
        return guard([&] {
            store_->commit();
            lastCommit_ = std::chrono::steady_clock::now();
        });
    }
    StoreError close() override {
        return guard([&] {
            store_->close();
            store_.reset();
        });
    }
    void abandon() override {
        // What was committed stays readable; the store's own close commits what it can.
        try {
            if (store_) store_->close();
        } catch (const std::exception&) {
        }
        store_.reset();
    }

  private:
    static constexpr auto kCommitInterval = std::chrono::seconds(3);
    static constexpr uintmax_t kLargeMessageFile = 4u << 20;

    template <typename F>
    StoreError guard(F&& step) {
        try {
            step();
            return std::nullopt;
        } catch (const std::exception& e) {
            return std::string("Could not write the store ") + path_ + ": " + e.what();
        }
    }

    std::string path_;
    std::unique_ptr<pst::PstStore> store_;
    pst::FolderId folder_{};
    std::chrono::steady_clock::time_point lastCommit_{};
    store::mime::ImportOptions importOptions_;
};

}  // namespace

std::string StoreTimeStamp(std::time_t when) {
    std::tm t{};
    localtime_r(&when, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%d.%d.%02d %d.%d.%02d", t.tm_mday, t.tm_mon + 1,
                  t.tm_year % 100, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

RunSettings DefaultRunSettings(const std::string& manualPath) {
    RunSettings settings;
    settings.troubleshootingAddress = "file://" + manualPath + "#troubleshooting";
    settings.storeOutputs = [](OutputKind kind) -> std::unique_ptr<StoreOutput> {
        if (kind == OutputKind::MSG) return std::make_unique<MsgOutput>();
        if (kind == OutputKind::PST) return std::make_unique<PstOutput>();
        return nullptr;
    };
    return settings;
}

}  // namespace quill
