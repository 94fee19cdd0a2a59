// Random bytes imported as a message and stored in a new .pst file, the road every message of
// a PST run takes: the first input byte picks how many copies go in, the next few bytes are
// the folder's name (any bytes, as a mailbox's file name can be). The store either takes the
// message or refuses it with PstError(BadMessage); once closed, the file's node and block
// database must pass the structural check, and nothing but the store may appear beside it.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>

#include "store/mime/import.h"
#include "store/pst/messaging/pst_error.h"
#include "store/pst/messaging/pst_store.h"
#include "store/pst/ndb/ndb_reader.h"

namespace fs = std::filesystem;
using namespace quill::store;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    static const fs::path dir =
        (fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
        ("quill-fuzz-mime-pst-" + std::to_string(::getpid()));
    const int copies = 1 + data[0] % 3;
    const size_t nameLen = 1 + data[1] % 8;
    if (size < 2 + nameLen) return 0;
    const std::string folderName(reinterpret_cast<const char*>(data + 2), nameLen);
    const auto bytes = std::span(data + 2 + nameLen, size - 2 - nameLen);

    mime::ImportOptions options;
    options.now = FileTime{134410000000000000};
    mime::ImportResult imported = mime::ImportMessageBuffer(bytes, options);

    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path path = dir / "store.pst";
    {
        auto store = pst::messaging::PstStore::create(path, "Fuzz");
        auto folder = store->addFolder(folderName);
        for (int i = 0; i < copies; ++i) {
            try {
                store->addMessage(folder, imported.message);
            } catch (const pst::messaging::PstError& e) {
                if (e.kind() != pst::messaging::PstError::Kind::BadMessage &&
                    e.kind() != pst::messaging::PstError::Kind::Format)
                    std::abort();
            }
        }
        store->finishFolder(folder);
        store->close();
    }
    pst::ndb::NdbReader reader(path);
    if (!reader.check().ok()) std::abort();
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path() != path) std::abort();
    fs::remove_all(dir);
    return 0;
}
