// Random bytes imported as a message and written as a .msg file, the road every message of
// an MSG run takes: whatever the import makes of the input (odd attachment names with path
// separators, "..", device names and control characters included), the writer either
// writes one whole file under the name it was given, or fails with a reason; nothing else
// ever appears in the output folder.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>

#include "store/mime/import.h"
#include "store/msg/msg_writer.h"

namespace fs = std::filesystem;
using namespace quill::store;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path dir =
        (fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
        ("quill-fuzz-mime-msg-" + std::to_string(::getpid()));
    mime::ImportOptions options;
    options.now = FileTime{134410000000000000};
    mime::ImportResult imported = mime::ImportMessageBuffer(std::span(data, size), options);

    fs::create_directories(dir);
    const fs::path target = dir / "Email-0.msg";
    msg::MsgWriteResult written = msg::WriteMsgFile(imported.message, target);
    if (!written && written.error.empty()) std::abort();  // a failure must say why
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        ++files;
        if (entry.path() != target) std::abort();  // a stray file: a name reached the disk
    }
    if (files != (written ? 1u : 0u)) std::abort();
    fs::remove_all(dir);
    return 0;
}
