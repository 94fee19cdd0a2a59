#include "convert/store_outputs.h"

#include <ctime>
#include <filesystem>
#include <system_error>

#include "shell/paths.h"
#include "store/mime/import.h"
#include "store/msg/msg_writer.h"

namespace quill {

namespace fs = std::filesystem;

namespace {

// Imports one message file; the error text says which file and why.
std::optional<store::Message> Import(const std::string& file, std::string& error) {
    try {
        return store::mime::ImportMessageFile(file).message;
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
    StoreError open(const std::string&) override { return std::nullopt; }
    StoreError beginMailbox(const std::string&, const std::string& outputFolder) override {
        folder_ = outputFolder;
        return std::nullopt;
    }
    StoreError storeMessage(uint64_t k, const std::string& file) override {
        std::string error;
        auto message = Import(file, error);
        if (!message) return error;
        std::string target = AddTrailingSeparator(folder_) + "Email-" + std::to_string(k) + ".msg";
        // The message file is spent once imported: the .msg takes its place on the disk.
        store::msg::MsgWriteOptions options;
        options.spentFile = file;
        store::msg::MsgWriteResult written = store::msg::WriteMsgFile(*message, target, options);
        if (!written) return written.error;
        if (written.spentFileConsumed) return std::nullopt;
        return RemoveMessageFile(file);
    }
    StoreError close() override { return std::nullopt; }

  private:
    std::string folder_;
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
        return nullptr;
    };
    return settings;
}

}  // namespace quill
