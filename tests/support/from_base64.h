#pragma once
// The readers from npm hand their values to the tests as base64 text, one line a value.

#include <glib.h>

#include <string>

namespace quill::testing {

inline std::string FromBase64(const std::string& text) {
    gsize n = 0;
    guchar* bytes = g_base64_decode(text.c_str(), &n);
    std::string out(reinterpret_cast<char*>(bytes), n);
    g_free(bytes);
    return out;
}

}  // namespace quill::testing
