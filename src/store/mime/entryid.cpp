#include "store/mime/entryid.h"

#include <glib.h>

namespace quill::store::mime {

namespace {

// MAPI_ONE_OFF_UID, the provider of one-off entry IDs, in its on-disk byte order.
constexpr uint8_t kOneOffProviderUid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                            0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
// Version 0, then the flags word as Outlook writes it for Unicode strings without rich text
// (MAPI_ONE_OFF_UNICODE | MAPI_ONE_OFF_NO_RICH_INFO and the MIME format bits): bytes 01 90.
constexpr uint8_t kVersionAndFlags[4] = {0x00, 0x00, 0x01, 0x90};

void AppendUtf16(Bytes& out, const std::string& utf8) {
    glong units = 0;
    gunichar2* w =
        g_utf8_to_utf16(utf8.c_str(), static_cast<glong>(utf8.size()), nullptr, &units, nullptr);
    if (w != nullptr) {
        for (glong i = 0; i < units; ++i) {
            out.push_back(static_cast<uint8_t>(w[i] & 0xFF));
            out.push_back(static_cast<uint8_t>(w[i] >> 8));
        }
        g_free(w);
    }
    out.push_back(0);
    out.push_back(0);
}

void AppendLe32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

Bytes OneOffEntryId(const std::string& displayName, const std::string& addressType,
                    const std::string& address) {
    Bytes id(4, 0);  // flags: a long-term entry ID
    id.insert(id.end(), std::begin(kOneOffProviderUid), std::end(kOneOffProviderUid));
    id.insert(id.end(), std::begin(kVersionAndFlags), std::end(kVersionAndFlags));
    AppendUtf16(id, displayName);
    AppendUtf16(id, addressType);
    AppendUtf16(id, address);
    return id;
}

Bytes FlatEntryList(const std::vector<Bytes>& entries) {
    Bytes body;
    for (const Bytes& e : entries) {
        AppendLe32(body, static_cast<uint32_t>(e.size()));
        body.insert(body.end(), e.begin(), e.end());
        while (body.size() % 4 != 0) body.push_back(0);
    }
    Bytes out;
    AppendLe32(out, static_cast<uint32_t>(entries.size()));
    AppendLe32(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace quill::store::mime
