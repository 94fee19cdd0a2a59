// libFuzzer entry point of the MIME import: any bytes must give a message (never a crash, a
// hang or invalid UTF-8 in a string property).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <variant>

#include <glib.h>

#include "store/mime/import.h"

using namespace quill::store;

static void CheckStrings(const PropertyBag& bag) {
    for (const auto& [tag, value] : bag.tagged())
        if (const auto* s = std::get_if<std::string>(&value))
            if (s->empty() || s->find('\0') != std::string::npos ||
                !g_utf8_validate_len(s->data(), s->size(), nullptr))
                std::abort();
}

static void Check(const Message& m) {
    CheckStrings(m.props);
    for (const auto& r : m.recipients) CheckStrings(r.props);
    for (const auto& a : m.attachments) {
        CheckStrings(a.props);
        if (a.embedded) Check(*a.embedded);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    mime::ImportOptions options;
    options.now = FileTime{134410000000000000};
    mime::ImportResult result = mime::ImportMessageBuffer(std::span(data, size), options);
    Check(result.message);
    return 0;
}
