#include "store/mime/import.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "shell/file_io.h"
#include "store/mime/base64.h"
#include "store/mime/entryid.h"
#include "store/mime/header_text.h"
#include "store/mime/mail_state.h"
#include "store/mime/text.h"

namespace quill::store::mime {

ImportError::ImportError(std::filesystem::path file, std::string reason)
    : std::runtime_error("cannot read message file " + file.string() + ": " + reason),
      file_(std::move(file)),
      reason_(std::move(reason)) {}

// The import of a message found inside another one, `depth` levels down.
ImportResult ImportNested(std::span<const uint8_t> bytes, const ImportOptions& options, int depth);

namespace {

constexpr const char* kClassNote = "IPM.Note";
// [MS-OXOSMIME] 2.1: clear-signed and opaque-signed or encrypted S/MIME messages.
constexpr const char* kClassSmimeMultipartSigned = "IPM.Note.SMIME.MultipartSigned";
constexpr const char* kClassSmime = "IPM.Note.SMIME";
// Outlook shows the signed or encrypted content from this attachment.
constexpr const char* kSmimeAttachmentName = "smime.p7m";

// Message/rfc822 parts nested deeper than this are kept as plain attachments: a hostile
// message could otherwise nest until the stack runs out.
constexpr int kMaxNesting = 32;
// Problems beyond this many in one message are counted, not listed.
constexpr size_t kMaxWarnings = 50;
// A header block longer than this (a message without a blank line after its headers) is cut
// short in PidTagTransportMessageHeaders; the headers themselves are still all mapped.
constexpr size_t kMaxTransportHeaders = 4u << 20;
constexpr size_t kReadChunk = 64 * 1024;

// What a byte counts for in base64 content: 1 for each of the 64 symbols, 2^32 for a byte
// that has no place there, nothing for padding and the white space decoders skip. Summed
// over a chunk (far less than 2^32 bytes), the low half counts symbols, the high half others.
constexpr std::array<uint64_t, 256> MakeBase64Weights() {
    std::array<uint64_t, 256> weights{};
    for (int c = 0; c < 256; ++c) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '+' || c == '/')
            weights[c] = 1;
        else if (c != '=' && c != '\r' && c != '\n' && c != ' ' && c != '\t')
            weights[c] = uint64_t(1) << 32;
    }
    return weights;
}
constexpr std::array<uint64_t, 256> kBase64Weights = MakeBase64Weights();

// The weights of a chunk's bytes summed, in four independent sums that the processor adds up
// side by side (one running sum would make every byte wait for the one before).
uint64_t Base64Census(const uint8_t* p, size_t n) {
    uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += kBase64Weights[p[i]];
        s1 += kBase64Weights[p[i + 1]];
        s2 += kBase64Weights[p[i + 2]];
        s3 += kBase64Weights[p[i + 3]];
    }
    for (; i < n; ++i) s0 += kBase64Weights[p[i]];
    return s0 + s1 + s2 + s3;
}

template <typename T>
struct GObjectDeleter {
    void operator()(T* p) const {
        if (p != nullptr) g_object_unref(p);
    }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectDeleter<T>>;

struct GFreeDeleter {
    void operator()(void* p) const { g_free(p); }
};
using GString_ = std::unique_ptr<char, GFreeDeleter>;

// ---------------------------------------------------------------------------------------
// Small conversions

FileTime FileTimeFromUnix(int64_t seconds, int64_t microseconds) {
    // FILETIME counts 100 ns from 1601-01-01; dates before that cannot be stored.
    constexpr int64_t kUnixEpochIn1601Seconds = 11644473600;
    if (seconds < -kUnixEpochIn1601Seconds) return FileTime{0};
    return FileTime{static_cast<uint64_t>(seconds + kUnixEpochIn1601Seconds) * 10000000u +
                    static_cast<uint64_t>(microseconds) * 10u};
}

FileTime FileTimeOf(GDateTime* dt) {
    return FileTimeFromUnix(g_date_time_to_unix(dt), g_date_time_get_microsecond(dt));
}

FileTime FileTimeNow() {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
    return FileTimeFromUnix(us / 1000000, us % 1000000);
}

int32_t ClampToInt32(uint64_t v) {
    return static_cast<int32_t>(std::min<uint64_t>(v, std::numeric_limits<int32_t>::max()));
}

// Every string GMime hands back as UTF-8 is checked: raw 8-bit text that slipped through
// undecoded is read as Windows-1252 rather than handed to the writers as invalid UTF-8.
std::string Utf8(const char* s) {
    return s == nullptr ? std::string() : UndeclaredToUtf8(s);
}

std::string Trim(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return std::string(s);
}

std::string Lower(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

// Text properties never hold NUL characters (readers of .msg and .pst files end the string
// there) and are never empty (an empty string property is invalid in .msg).
void SetString(PropertyBag& bag, PropTag tag, std::string value) {
    std::erase(value, '\0');
    // The last guard of the Unicode string properties: bytes that are still no UTF-8 after
    // their charset was applied are read as Windows-1252 rather than stored broken.
    if (!IsValidUtf8(value)) value = UndeclaredToUtf8(value);
    if (!value.empty()) bag.set(tag, std::move(value));
}

Bytes ToBytes(std::string_view s) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
    return Bytes(bytes, bytes + s.size());
}

std::string MimeTypeOf(GMimeObject* obj) {
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    if (ct == nullptr) return "application/octet-stream";
    GString_ type(g_mime_content_type_get_mime_type(ct));
    // A type is ASCII, but a damaged header can put any bytes into it: the property that
    // takes it is a Unicode string.
    return UndeclaredToUtf8(Lower(type ? type.get() : "application/octet-stream"));
}

bool IsType(GMimeObject* obj, const char* type, const char* subtype) {
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    return ct != nullptr && g_mime_content_type_is_type(ct, type, subtype);
}

bool IsAttachmentDisposition(GMimeObject* obj) {
    const char* d = g_mime_object_get_disposition(obj);
    return d != nullptr && g_ascii_strcasecmp(d, GMIME_DISPOSITION_ATTACHMENT) == 0;
}

bool IsBodyTextPart(GMimeObject* obj) {
    return GMIME_IS_PART(obj) && !IsAttachmentDisposition(obj) &&
           (IsType(obj, "text", "plain") || IsType(obj, "text", "html") ||
            IsType(obj, "text", "enriched"));
}

// Offset of an entity's first header in the input, to say where a problem is.
int64_t OffsetOf(GMimeObject* obj) {
    GMimeHeaderList* list = g_mime_object_get_header_list(obj);
    if (list == nullptr || g_mime_header_list_get_count(list) == 0) return -1;
    return g_mime_header_get_offset(g_mime_header_list_get_header_at(list, 0));
}

// The raw value of a header, unfolded and trimmed ("" when absent).
std::string RawHeader(GMimeObject* obj, const char* name) {
    GMimeHeaderList* list = g_mime_object_get_header_list(obj);
    GMimeHeader* h = list != nullptr ? g_mime_header_list_get_header(list, name) : nullptr;
    if (h == nullptr || g_mime_header_get_raw_value(h) == nullptr) return {};
    GString_ unfolded(g_mime_utils_header_unfold(g_mime_header_get_raw_value(h)));
    return Trim(Utf8(unfolded.get()));
}

// A GMime memory stream's bytes as our Bytes.
Bytes WriteObject(GMimeObject* obj) {
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    // Written with CR LF: the form a signature is computed over and the form of the input.
    GMimeFormatOptions* fmt = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(fmt, GMIME_NEWLINE_FORMAT_DOS);
    g_mime_object_write_to_stream(obj, fmt, mem.get());
    g_mime_format_options_free(fmt);
    GByteArray* arr = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
    return Bytes(arr->data, arr->data + arr->len);
}

int64_t WrittenSize(GMimeObject* obj) {
    GPtr<GMimeStream> sink(g_mime_stream_null_new());
    ssize_t n = g_mime_object_write_to_stream(obj, nullptr, sink.get());
    return n < 0 ? 0 : n;
}

// ---------------------------------------------------------------------------------------
// Attachment names

std::string ExtensionForMimeType(const std::string& type) {
    static const std::pair<const char*, const char*> kTable[] = {
        {"text/plain", ".txt"},
        {"text/html", ".htm"},
        {"text/enriched", ".txt"},
        {"text/calendar", ".ics"},
        {"text/csv", ".csv"},
        {"text/xml", ".xml"},
        {"image/jpeg", ".jpg"},
        {"image/jpg", ".jpg"},
        {"image/pjpeg", ".jpg"},
        {"image/png", ".png"},
        {"image/x-png", ".png"},
        {"image/gif", ".gif"},
        {"image/bmp", ".bmp"},
        {"image/tiff", ".tif"},
        {"application/pdf", ".pdf"},
        {"application/zip", ".zip"},
        {"message/rfc822", ".eml"},
        {"application/pkcs7-signature", ".p7s"},
        {"application/x-pkcs7-signature", ".p7s"},
        {"application/pkcs7-mime", ".p7m"},
        {"application/x-pkcs7-mime", ".p7m"},
        {"application/pgp-signature", ".asc"},
        {"application/pgp-encrypted", ".pgp"},
        {"application/ms-tnef", ".dat"},
        {"message/delivery-status", ".txt"},
        {"text/rfc822-headers", ".txt"},
    };
    for (const auto& [t, ext] : kTable)
        if (type == t) return ext;
    return ".bin";
}

// A file name as the sender gave it, made safe to show and to save: only the last path
// element, no control characters, no leading or trailing blanks.
std::string CleanFileName(std::string name) {
    size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) continue;
        out += c;
    }
    return Trim(out);
}

std::string ExtensionOf(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {};
    std::string ext = name.substr(dot);
    if (ext.find(' ') != std::string::npos) return {};
    return ext;
}

// The 8.3 form for PidTagAttachFilename: upper case, characters DOS does not allow replaced.
std::string ShortFileName(const std::string& name) {
    auto clean = [](std::string_view s, size_t max) {
        std::string r;
        for (char c : s) {
            if (r.size() == max) break;
            unsigned char u = static_cast<unsigned char>(c);
            if (u >= 0x80) {
                // One replacement character per UTF-8 sequence.
                if ((u & 0xC0) != 0x80) r += '_';
                continue;
            }
            if (std::isalnum(u) || std::strchr("!#$%&'()-@^_`{}~", c) != nullptr)
                r += static_cast<char>(std::toupper(u));
            else if (c != ' ' && c != '.')
                r += '_';
        }
        return r;
    };
    std::string ext = ExtensionOf(name);
    std::string stem = name.substr(0, name.size() - ext.size());
    std::string shortStem = clean(stem, 64);
    if (shortStem.size() > 8) shortStem = shortStem.substr(0, 6) + "~1";
    if (shortStem.empty()) shortStem = "ATTACH";
    std::string shortExt = ext.empty() ? std::string() : clean(ext.substr(1), 3);
    return shortExt.empty() ? shortStem : shortStem + "." + shortExt;
}

// ---------------------------------------------------------------------------------------
// Where the input's bytes can be read again (for the raw header block).

class RawInput {
  public:
    virtual ~RawInput() = default;
    // Copies up to `length` bytes at `offset` to `to`; returns how many there were.
    virtual size_t ReadInto(int64_t offset, size_t length, void* to) const = 0;

    std::string Read(int64_t offset, size_t length) const {
        std::string out(length, '\0');
        out.resize(ReadInto(offset, length, out.data()));
        return out;
    }
    // Appends the bytes from `offset` to `end` to `out`, read straight into it.
    void AppendTo(Bytes& out, int64_t offset, int64_t end) const {
        if (end <= offset) return;
        const size_t old = out.size();
        out.resize(old + static_cast<size_t>(end - offset));
        out.resize(old + ReadInto(offset, static_cast<size_t>(end - offset), out.data() + old));
    }
};

class FdInput final : public RawInput {
  public:
    explicit FdInput(int fd) : fd_(fd) {}
    size_t ReadInto(int64_t offset, size_t length, void* to) const override {
        return PreadAll(fd_, to, length, static_cast<uint64_t>(offset)).done;
    }

  private:
    int fd_;
};

class MemoryInput final : public RawInput {
  public:
    explicit MemoryInput(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    size_t ReadInto(int64_t offset, size_t length, void* to) const override {
        if (offset < 0 || static_cast<uint64_t>(offset) >= bytes_.size()) return 0;
        size_t n = std::min(length, bytes_.size() - static_cast<size_t>(offset));
        std::memcpy(to, bytes_.data() + offset, n);
        return n;
    }

  private:
    std::span<const uint8_t> bytes_;
};

// ---------------------------------------------------------------------------------------

class Warnings {
  public:
    explicit Warnings(std::vector<std::string>& out) : out_(out) {}
    void Add(std::string text) {
        if (out_.size() < kMaxWarnings) {
            if (std::find(out_.begin(), out_.end(), text) == out_.end())
                out_.push_back(std::move(text));
        } else {
            ++dropped_;
        }
    }
    void Finish() {
        if (dropped_ > 0)
            out_.push_back("and " + std::to_string(dropped_) + " further problems not listed");
    }

  private:
    std::vector<std::string>& out_;
    size_t dropped_ = 0;
};

std::string At(int64_t offset) {
    return offset >= 0 ? " at byte " + std::to_string(offset) : std::string();
}

void OnParserWarning(gint64 offset, GMimeParserWarning code, const gchar* item, gpointer user) {
    auto* warnings = static_cast<Warnings*>(user);
    std::string what = item != nullptr ? Utf8(item) : std::string();
    if (what.size() > 200) what = what.substr(0, 200) + "...";
    std::string text;
    switch (code) {
        case GMIME_WARN_INVALID_CONTENT_TYPE:
            text = "invalid Content-Type \"" + what + "\"" + At(offset) +
                   "; the part is kept as application/octet-stream";
            break;
        case GMIME_WARN_INVALID_RFC2047_HEADER_VALUE:
            text = "malformed encoded word in a header" + At(offset) + ": " + what;
            break;
        case GMIME_WARN_MALFORMED_MULTIPART:
            text = "multipart without any part" + At(offset);
            break;
        case GMIME_WARN_TRUNCATED_MESSAGE:
            text = "message cut short" + At(offset) + " (a closing MIME boundary is missing)";
            break;
        case GMIME_WARN_MALFORMED_MESSAGE:
            text = "malformed message" + At(offset);
            break;
        case GMIME_CRIT_INVALID_HEADER_NAME:
            text = "invalid header name" + At(offset) + ": " + what;
            break;
        case GMIME_CRIT_CONFLICTING_HEADER:
            text = "conflicting header" + At(offset) + ": " + what;
            break;
        case GMIME_CRIT_CONFLICTING_PARAMETER:
            text = "conflicting header parameter" + At(offset) + ": " + what;
            break;
        case GMIME_CRIT_MULTIPART_WITHOUT_BOUNDARY:
            text = "multipart without a boundary" + At(offset) +
                   "; its content is kept as an attachment";
            break;
        case GMIME_WARN_INVALID_ADDRESS_LIST:
            text = "invalid address list" + At(offset) + ": " + what;
            break;
        case GMIME_CRIT_NESTING_OVERFLOW:
            text = "MIME parts nested too deeply" + At(offset);
            break;
        case GMIME_WARN_PART_WITHOUT_CONTENT:
        case GMIME_CRIT_PART_WITHOUT_HEADERS_OR_CONTENT:
            text = "MIME part without content" + At(offset);
            break;
        default:
            // Duplicated headers or parameters, undeclared 8-bit header text: decoded as well
            // as can be, nothing for the user to act on.
            return;
    }
    warnings->Add(std::move(text));
}

struct ParserOptions {
    GMimeParserOptions* options;
    explicit ParserOptions(Warnings* warnings) : options(g_mime_parser_options_new()) {
        // Raw 8-bit header text without a declared charset: UTF-8 when valid, else the
        // Windows code page most mail of that kind was written in.
        static const char* fallback[] = {"utf-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(options, fallback);
        g_mime_parser_options_set_rfc2047_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_parameter_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_address_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_warning_callback(options, OnParserWarning, warnings);
    }
    ~ParserOptions() { g_mime_parser_options_free(options); }
    ParserOptions(const ParserOptions&) = delete;
    ParserOptions& operator=(const ParserOptions&) = delete;
};

// ---------------------------------------------------------------------------------------
// The body: which MIME entity is it ([MS-OXCMAIL] 2.2.3.3.2)

struct BodyChoice {
    GMimeObject* plain = nullptr;  // text/plain (or text/enriched)
    GMimeObject* html = nullptr;
    // The multipart/related whose root is the HTML body: its other parts are the inline
    // images of that body.
    GMimeMultipart* related = nullptr;
    // The multipart/alternative the body came from: its other text parts are renderings of
    // the same body, not attachments.
    GMimeMultipart* alternative = nullptr;
    bool found() const { return plain != nullptr || html != nullptr; }
};

GMimeObject* RootOfRelated(GMimeMultipart* related) {
    if (g_mime_multipart_get_count(related) == 0) return nullptr;
    const char* start = g_mime_object_get_content_type_parameter(GMIME_OBJECT(related), "start");
    if (start != nullptr) {
        GString_ id(g_mime_utils_decode_message_id(start));
        if (id) {
            for (int i = 0; i < g_mime_multipart_get_count(related); ++i) {
                GMimeObject* child = g_mime_multipart_get_part(related, i);
                const char* cid = g_mime_object_get_content_id(child);
                if (cid != nullptr && std::strcmp(cid, id.get()) == 0) return child;
            }
        }
    }
    return g_mime_multipart_get_part(related, 0);
}

BodyChoice FindBody(GMimeObject* obj, int depth) {
    BodyChoice none;
    if (obj == nullptr || depth > kMaxNesting) return none;
    if (GMIME_IS_PART(obj)) {
        if (!IsBodyTextPart(obj)) return none;
        BodyChoice b;
        (IsType(obj, "text", "html") ? b.html : b.plain) = obj;
        return b;
    }
    if (!GMIME_IS_MULTIPART(obj)) return none;  // message/rfc822 parts are attachments
    auto* mp = GMIME_MULTIPART(obj);
    const int n = g_mime_multipart_get_count(mp);
    if (IsType(obj, "multipart", "signed"))
        return n > 0 ? FindBody(g_mime_multipart_get_part(mp, 0), depth + 1) : none;
    if (IsType(obj, "multipart", "alternative")) {
        BodyChoice b;
        b.alternative = mp;
        GMimeObject* enriched = nullptr;
        for (int i = 0; i < n; ++i) {
            GMimeObject* child = g_mime_multipart_get_part(mp, i);
            if (GMIME_IS_PART(child)) {
                if (!IsBodyTextPart(child)) continue;
                if (IsType(child, "text", "html")) {
                    b.html = child;  // the last one is the richest rendering
                    b.related = nullptr;
                } else if (IsType(child, "text", "plain")) {
                    if (b.plain == nullptr) b.plain = child;
                } else if (enriched == nullptr) {
                    enriched = child;
                }
            } else if (GMIME_IS_MULTIPART(child)) {
                BodyChoice sub = FindBody(child, depth + 1);
                if (sub.html != nullptr) {
                    b.html = sub.html;
                    b.related = sub.related;
                }
                if (b.plain == nullptr) b.plain = sub.plain;
            }
        }
        if (b.plain == nullptr) b.plain = enriched;
        return b.found() ? b : none;
    }
    if (IsType(obj, "multipart", "related")) {
        BodyChoice b = FindBody(RootOfRelated(mp), depth + 1);
        if (b.html != nullptr && b.related == nullptr) b.related = mp;
        if (b.found()) return b;
    }
    // multipart/mixed and any other kind: the first body found in document order.
    for (int i = 0; i < n; ++i) {
        BodyChoice b = FindBody(g_mime_multipart_get_part(mp, i), depth + 1);
        if (b.found()) return b;
    }
    return none;
}

bool IsSmimeSigned(GMimeObject* obj) {
    if (!IsType(obj, "multipart", "signed")) return false;
    const char* protocol = g_mime_object_get_content_type_parameter(obj, "protocol");
    return protocol != nullptr &&
           (g_ascii_strcasecmp(protocol, "application/pkcs7-signature") == 0 ||
            g_ascii_strcasecmp(protocol, "application/x-pkcs7-signature") == 0);
}

bool IsSmimeOpaque(GMimeObject* obj) {
    if (!GMIME_IS_PART(obj)) return false;
    if (IsType(obj, "application", "pkcs7-mime") || IsType(obj, "application", "x-pkcs7-mime"))
        return true;
    const char* name = g_mime_part_get_filename(GMIME_PART(obj));
    return IsType(obj, "application", "octet-stream") && name != nullptr &&
           g_str_has_suffix(Lower(name).c_str(), ".p7m");
}

// ---------------------------------------------------------------------------------------

struct Mailbox {
    std::string name;     // as shown: the display name, or the address when there is none
    std::string address;  // empty for a bare name without an address
};

void CollectMailboxes(InternetAddressList* list, std::vector<Mailbox>& out, int depth = 0) {
    if (list == nullptr || depth > 4) return;
    for (int i = 0; i < internet_address_list_length(list); ++i) {
        InternetAddress* ia = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(ia)) {
            CollectMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)), out,
                             depth + 1);
            continue;
        }
        if (!INTERNET_ADDRESS_IS_MAILBOX(ia)) continue;
        Mailbox m;
        m.address = Trim(Utf8(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia))));
        m.name = Trim(Utf8(internet_address_get_name(ia)));
        if (m.name.empty()) m.name = m.address;
        if (!m.name.empty()) out.push_back(std::move(m));
    }
}

class Importer {
  public:
    Importer(const ImportOptions& options, GMimeParserOptions* parserOptions, Warnings& warnings,
             FileTime now, int depth)
        : options_(options),
          parserOptions_(parserOptions),
          warnings_(warnings),
          now_(now),
          depth_(depth) {}

    void FillMessage(GMimeMessage* msg, const std::string& rawHeaders, int64_t size, Message& out);

  private:
    void FillSubject(GMimeMessage* msg, PropertyBag& props);
    void FillSender(GMimeMessage* msg, PropertyBag& props);
    void FillRecipients(GMimeMessage* msg, Message& out);
    void FillDates(GMimeMessage* msg, PropertyBag& props);
    void FillHeaders(GMimeMessage* msg, PropertyBag& props);
    void FillBody(const BodyChoice& body, PropertyBag& props);
    void CollectAttachments(GMimeObject* obj, GMimeMultipart* parent, const BodyChoice& body,
                            Message& out, int depth);
    void AddPart(GMimePart* part, bool inBodyRelated, Message& out);
    void AddEmbedded(GMimeMessagePart* part, Message& out);
    void AddEmbeddedFromBytes(GMimeObject* part, Bytes bytes, Message& out);
    void AddRawEntity(GMimeObject* obj, Bytes bytes, std::string name, std::string mimeType,
                      bool hidden, Message& out);
    Attachment& NewAttachment(Message& out);
    Bytes SignedEntityBytes(GMimeObject* root);
    bool ReadPieces(GMimeStream* stream, const std::function<bool(const char*, size_t)>& take);
    bool DecodeContent(GMimePart* part, Bytes& out);
    void WarnBrokenBase64(GMimePart* part);
    std::string PartLabel(GMimeObject* obj);

    std::vector<Mailbox> MailboxesOf(GMimeMessage* msg, const char* header,
                                     InternetAddressList* parsed);
    std::string DecodeUnstructured(GMimeObject* obj, const char* header);
    std::string FileNameOf(GMimeObject* obj);
    void FillMailState(GMimeObject* obj, PropertyBag& props);

  public:
    // The top-level message was deleted in the mail program that kept it (ImportResult).
    bool expunged = false;
    // At the top level: reads the bytes of the message's body as they are in the input.
    std::function<void(Bytes&)> appendRootBody;

  private:
    const ImportOptions& options_;
    GMimeParserOptions* parserOptions_;
    Warnings& warnings_;
    FileTime now_;
    int depth_;
    // The HTML body in lower case, to find the parts it shows inline; made when first asked
    // for, since most messages have no such part.
    const std::string& HtmlLower() {
        if (!htmlLowerMade_) {
            htmlLower_ = Lower(htmlText_);
            htmlLowerMade_ = true;
        }
        return htmlLower_;
    }

    std::string htmlText_;  // the HTML body as UTF-8
    std::string htmlLower_;
    bool htmlLowerMade_ = false;
};

std::string Importer::DecodeUnstructured(GMimeObject* obj, const char* header) {
    HeaderText decoded = DecodeHeaderText(RawHeader(obj, header));
    if (decoded.damaged)
        warnings_.Add(std::string("undecodable text in the ") + header + " header" +
                      At(OffsetOf(obj)) + "; kept as it stands, read as Windows-1252");
    return Trim(decoded.text);
}

void Importer::FillMailState(GMimeObject* obj, PropertyBag& props) {
    MailStateHeaders h;
    GMimeHeaderList* list = g_mime_object_get_header_list(obj);
    auto given = [&](const char* name) -> std::optional<std::string> {
        if (list == nullptr || !g_mime_header_list_contains(list, name)) return std::nullopt;
        return RawHeader(obj, name);
    };
    // Tags and labels may be encoded words or 8-bit text, as any header text.
    auto text = [&](const std::string& raw) {
        HeaderText decoded = DecodeHeaderText(raw);
        return Trim(decoded.text);
    };
    h.status = given("Status");
    h.xStatus = given("X-Status");
    h.mozillaStatus = given("X-Mozilla-Status");
    if (auto labels = given("X-Gmail-Labels")) h.gmailLabels = text(*labels);
    if (auto keys = given("X-Mozilla-Keys")) h.mozillaKeys = text(*keys);
    for (int i = 0; list != nullptr && i < g_mime_header_list_get_count(list); ++i) {
        GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
        if (g_ascii_strcasecmp(g_mime_header_get_name(header), "Keywords") != 0) continue;
        const char* raw = g_mime_header_get_raw_value(header);
        if (raw == nullptr) continue;
        GString_ unfolded(g_mime_utils_header_unfold(raw));
        h.keywords.push_back(text(Utf8(unfolded.get())));
    }
    std::vector<std::string> problems;
    const MailState state = ReadMailState(h, problems);
    for (std::string& p : problems) warnings_.Add(std::move(p));
    ApplyMailState(state, props);
    expunged = state.expunged;
}

std::vector<Mailbox> Importer::MailboxesOf(GMimeMessage* msg, const char* header,
                                           InternetAddressList* parsed) {
    std::vector<Mailbox> boxes;
    GMimeObject* obj = GMIME_OBJECT(msg);
    std::string raw = RawHeader(obj, header);
    if (!NeedsOwnDecoding(raw)) {
        CollectMailboxes(parsed, boxes);
    } else {
        // Encoded words GMime would decode wrongly, and 8-bit text it may drop the whole
        // address for: parsed again from our own rendering.
        bool damaged = false;
        std::string text = NormaliseAddressText(raw, &damaged);
        if (damaged)
            warnings_.Add(std::string("undecodable text in the ") + header + " header" +
                          At(OffsetOf(obj)) + "; kept as it stands, read as Windows-1252");
        InternetAddressList* list = internet_address_list_parse(parserOptions_, text.c_str());
        CollectMailboxes(list, boxes);
        if (list != nullptr) g_object_unref(list);
    }
    if (boxes.empty() && raw.find_first_not_of(" \t") != std::string::npos &&
        !(raw.find(':') != std::string::npos && raw.back() == ';')) {
        // No address could be read at all: the text is kept as the name, so that the user
        // still sees who it was.
        warnings_.Add(std::string("unreadable address list in the ") + header + " header" +
                      At(OffsetOf(obj)) + "; its text is kept as the name");
        boxes.push_back(Mailbox{Trim(DecodeHeaderText(raw).text), std::string()});
    }
    // A decoded name can hold NUL characters (an encoded "=00"), which no reader of the output
    // shows past.
    for (Mailbox& m : boxes) {
        std::erase(m.name, '\0');
        std::erase(m.address, '\0');
        if (m.name.empty()) m.name = m.address;
    }
    std::erase_if(boxes, [](const Mailbox& m) { return m.name.empty(); });
    return boxes;
}

// The name the sender gave a part: the Content-Disposition's filename, else the Content-Type's
// name ("" when neither is there).
std::string Importer::FileNameOf(GMimeObject* obj) {
    bool damaged = false;
    std::optional<std::string> name =
        HeaderParameter(RawHeader(obj, "Content-Disposition"), "filename", &damaged);
    if (!name) name = HeaderParameter(RawHeader(obj, "Content-Type"), "name", &damaged);
    if (damaged)
        warnings_.Add("undecodable text in the name of " + PartLabel(obj) +
                      "; kept as it stands, read as Windows-1252");
    return name.value_or(std::string());
}

std::string Importer::PartLabel(GMimeObject* obj) {
    std::string label = "the " + MimeTypeOf(obj) + " part";
    if (GMIME_IS_PART(obj)) {
        const char* name = g_mime_part_get_filename(GMIME_PART(obj));
        if (name != nullptr) label += " \"" + Utf8(name) + "\"";
    }
    return label + At(OffsetOf(obj));
}

// Hands a stream's content to `take` in pieces of at most kReadChunk bytes, each a chance for
// the front end to run: where it lies when the parser left it in memory, else read from its
// file. Stops early when `take` answers false. False if the stream could not be read.
bool Importer::ReadPieces(GMimeStream* stream,
                          const std::function<bool(const char*, size_t)>& take) {
    if (g_mime_stream_reset(stream) == -1) return false;
    GByteArray* memory = GMIME_IS_STREAM_MEM(stream)
                             ? g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream))
                             : nullptr;
    if (memory != nullptr) {
        // What a read of the stream would copy out: its bounds within the buffer.
        const int64_t held = static_cast<int64_t>(memory->len);
        const int64_t begin = std::min<int64_t>(stream->bound_start, held);
        const int64_t end =
            stream->bound_end < 0 ? held : std::min<int64_t>(stream->bound_end, held);
        const char* data = reinterpret_cast<const char*>(memory->data);
        for (int64_t at = begin; at < end; at += static_cast<int64_t>(kReadChunk)) {
            if (options_.yield != nullptr) options_.yield->maybeYield();
            if (!take(data + at, static_cast<size_t>(std::min<int64_t>(end - at, kReadChunk))))
                break;
        }
        return true;
    }
    // Filled by every read before it is looked at; not worth clearing for every part.
    std::unique_ptr<char[]> chunk(new char[kReadChunk]);
    char* const buf = chunk.get();
    while (!g_mime_stream_eos(stream)) {
        ssize_t n = g_mime_stream_read(stream, buf, kReadChunk);
        // GMime streams also answer -1 at the end of their bounds.
        if (n < 0) return g_mime_stream_eos(stream) != FALSE;
        if (n == 0) break;
        if (options_.yield != nullptr) options_.yield->maybeYield();
        if (!take(buf, static_cast<size_t>(n))) break;
    }
    return true;
}

// Decodes a part's content (base64, quoted-printable, uuencode or none) straight into `out`:
// the decoded data is the only full copy held in memory. The decoders carry their state from
// one piece of the content to the next.
bool Importer::DecodeContent(GMimePart* part, Bytes& out) {
    out.clear();
    GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
    if (wrapper == nullptr) return true;
    GMimeStream* stream = g_mime_data_wrapper_get_stream(wrapper);
    if (stream == nullptr) return true;
    const GMimeContentEncoding encoding = g_mime_data_wrapper_get_encoding(wrapper);
    const bool base64 = encoding == GMIME_CONTENT_ENCODING_BASE64;
    const int64_t length = g_mime_stream_length(stream);
    if (length > 0) {
        // Decoded base64 is at most 3/4 of its encoded size, the others never grow; the
        // decoders ask for a few bytes more, and for the whole of their piece, before each step.
        const uint64_t size = static_cast<uint64_t>(length);
        out.reserve(base64 ? size / 4 * 3 + std::min<uint64_t>(size, kReadChunk) / 4 + 8
                           : size + 8);
    }
    if (base64) {
        // Plain base64 the quick way; anything else again from the start, below.
        Base64LineDecoder quick(out);
        bool plain = true;
        const bool read = ReadPieces(
            stream, [&](const char* data, size_t n) { return plain = quick.feed(data, n); });
        if (read && plain && quick.finish()) {
            if (quick.droppedLoneSymbol()) WarnBrokenBase64(part);
            return true;
        }
        out.clear();
    }

    // Base64 and quoted-printable are decoded by GMime's decoder straight into `out` (what its
    // basic filter does, less the filter's own buffer); uuencoded content goes through the
    // filter, which also finds the "begin" line.
    const bool decodeDirect = base64 || encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
    GMimeEncoding decoder;
    if (decodeDirect) g_mime_encoding_init_decode(&decoder, encoding);
    GPtr<GMimeFilter> filter;
    if (encoding == GMIME_CONTENT_ENCODING_UUENCODE)
        filter.reset(g_mime_filter_basic_new(encoding, FALSE));

    auto in = [](const char* p) { return reinterpret_cast<const uint8_t*>(p); };
    bool invalidBase64 = false;
    uint64_t base64Symbols = 0;
    const bool ok = ReadPieces(stream, [&](const char* data, size_t n) {
        if (base64) {
            const uint64_t sum = Base64Census(in(data), n);
            base64Symbols += sum & 0xFFFFFFFFu;
            invalidBase64 |= (sum >> 32) != 0;
        }
        if (decodeDirect) {
            const size_t used = out.size();
            out.resize(used + g_mime_encoding_outlen(&decoder, n));
            out.resize(used + g_mime_encoding_step(&decoder, data, n,
                                                   reinterpret_cast<char*>(out.data() + used)));
        } else if (filter) {
            char* outBuf = nullptr;
            size_t outLen = 0, outPrespace = 0;
            g_mime_filter_filter(filter.get(), const_cast<char*>(data), n, 0, &outBuf, &outLen,
                                 &outPrespace);
            out.insert(out.end(), in(outBuf), in(outBuf) + outLen);
        } else {
            out.insert(out.end(), in(data), in(data) + n);
        }
        return true;
    });
    if (base64 && (decoder.state == 2 || decoder.state == 3)) {
        // Content that ends in a quartet cut short without padding, as some encoders leave
        // it: its two or three symbols still hold one or two bytes, which GMime's decoder
        // would drop. The padding it lacks completes the quartet.
        const char padding[] = "==";
        const size_t used = out.size();
        const size_t missing = 4 - static_cast<size_t>(decoder.state);
        out.resize(used + g_mime_encoding_outlen(&decoder, missing));
        out.resize(used + g_mime_encoding_step(&decoder, padding, missing,
                                               reinterpret_cast<char*>(out.data() + used)));
    }
    char none = 0;  // the decoders' last step reads nothing
    if (decodeDirect) {
        const size_t used = out.size();
        out.resize(used + g_mime_encoding_outlen(&decoder, 0));
        out.resize(used + g_mime_encoding_flush(&decoder, &none, 0,
                                                reinterpret_cast<char*>(out.data() + used)));
    } else if (filter) {
        char* outBuf = nullptr;
        size_t outLen = 0, outPrespace = 0;
        g_mime_filter_complete(filter.get(), &none, 0, 0, &outBuf, &outLen, &outPrespace);
        out.insert(out.end(), in(outBuf), in(outBuf) + outLen);
    }
    if (!ok)
        warnings_.Add("could not read all of " + PartLabel(GMIME_OBJECT(part)) +
                      "; kept what was read");
    if (invalidBase64 || base64Symbols % 4 == 1) WarnBrokenBase64(part);
    return ok;
}

void Importer::WarnBrokenBase64(GMimePart* part) {
    warnings_.Add("broken base64 data in " + PartLabel(GMIME_OBJECT(part)) +
                  "; decoded what could be");
}

void Importer::FillSubject(GMimeMessage* msg, PropertyBag& props) {
    std::string subject = DecodeUnstructured(GMIME_OBJECT(msg), "Subject");
    SetString(props, PidTagSubject, subject);
    // [MS-OXCMAIL] 2.2.3.2.6.1: a prefix is 1 to 3 characters, none of them a colon, a blank
    // or a digit, followed by a colon; blanks after the colon belong to neither part.
    std::string normalized = subject;
    const char* s = subject.c_str();
    const char* p = s;
    int chars = 0;
    while (*p != '\0' && chars <= 3) {
        gunichar c = g_utf8_get_char(p);
        if (c == ':' || c == ' ' || c == '\t' || (c >= '0' && c <= '9')) break;
        p = g_utf8_next_char(p);
        ++chars;
    }
    if (chars >= 1 && chars <= 3 && *p == ':') {
        std::string prefix(s, static_cast<size_t>(p - s));
        ++p;
        while (*p == ' ' || *p == '\t') ++p;
        SetString(props, PidTagSubjectPrefix, prefix + ": ");
        normalized = p;
    }
    SetString(props, PidTagNormalizedSubject, normalized);
    std::string topic = DecodeUnstructured(GMIME_OBJECT(msg), "Thread-Topic");
    SetString(props, PidTagConversationTopic, topic.empty() ? normalized : topic);
    std::string threadIndex = RawHeader(GMIME_OBJECT(msg), "Thread-Index");
    if (!threadIndex.empty()) {
        gsize len = 0;
        guchar* raw = g_base64_decode(threadIndex.c_str(), &len);
        // A conversation index starts with a 22-byte header block.
        if (raw != nullptr && len >= 22) props.set(PidTagConversationIndex, Bytes(raw, raw + len));
        g_free(raw);
    }
}

// PidTagSearchKey of an address: "SMTP:" and the address in upper case, with a NUL.
Bytes AddressSearchKey(const std::string& address) {
    std::string key = "SMTP:" + address;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Bytes b = ToBytes(key);
    b.push_back(0);
    return b;
}

void Importer::FillSender(GMimeMessage* msg, PropertyBag& props) {
    std::vector<Mailbox> from = MailboxesOf(msg, "From", g_mime_message_get_from(msg));
    std::vector<Mailbox> sender = MailboxesOf(msg, "Sender", g_mime_message_get_sender(msg));
    if (from.empty()) from = sender;  // without From, Sender names the author
    if (sender.empty()) sender = from;
    struct Group {
        PropTag name, type, email, smtp, searchKey, entryId;
    };
    auto fill = [&](const Mailbox& m, const Group& g) {
        SetString(props, g.name, m.name);
        if (m.address.empty()) return;
        props.set(g.type, std::string("SMTP"));
        props.set(g.email, m.address);
        props.set(g.smtp, m.address);
        props.set(g.searchKey, AddressSearchKey(m.address));
        props.set(g.entryId, OneOffEntryId(m.name, "SMTP", m.address));
    };
    if (!from.empty())
        fill(from.front(), {PidTagSentRepresentingName, PidTagSentRepresentingAddressType,
                            PidTagSentRepresentingEmailAddress, PidTagSentRepresentingSmtpAddress,
                            PidTagSentRepresentingSearchKey, PidTagSentRepresentingEntryId});
    if (!sender.empty())
        fill(sender.front(), {PidTagSenderName, PidTagSenderAddressType, PidTagSenderEmailAddress,
                              PidTagSenderSmtpAddress, PidTagSenderSearchKey, PidTagSenderEntryId});

    // Reply-To: Outlook's Reply uses the entries, the names are what it shows.
    std::vector<Mailbox> replyTo = MailboxesOf(msg, "Reply-To", g_mime_message_get_reply_to(msg));
    std::vector<Bytes> entries;
    std::string names;
    for (const Mailbox& m : replyTo) {
        if (m.address.empty()) continue;
        entries.push_back(OneOffEntryId(m.name, "SMTP", m.address));
        if (!names.empty()) names += "; ";
        names += m.name;
    }
    if (!entries.empty()) {
        props.set(PidTagReplyRecipientEntries, FlatEntryList(entries));
        SetString(props, PidTagReplyRecipientNames, names);
    }
}

void Importer::FillRecipients(GMimeMessage* msg, Message& out) {
    struct Kind {
        GMimeAddressType type;
        const char* header;
        int32_t recipientType;
        PropTag display;
    };
    const Kind kinds[] = {{GMIME_ADDRESS_TYPE_TO, "To", MAPI_TO, PidTagDisplayTo},
                          {GMIME_ADDRESS_TYPE_CC, "Cc", MAPI_CC, PidTagDisplayCc},
                          {GMIME_ADDRESS_TYPE_BCC, "Bcc", MAPI_BCC, PidTagDisplayBcc}};
    for (const Kind& kind : kinds) {
        std::vector<Mailbox> boxes =
            MailboxesOf(msg, kind.header, g_mime_message_get_addresses(msg, kind.type));
        std::string display;
        for (const Mailbox& m : boxes) {
            Recipient r;
            PropertyBag& p = r.props;
            p.set(PidTagRowid, static_cast<int32_t>(out.recipients.size()));
            p.set(PidTagRecipientType, kind.recipientType);
            p.set(PidTagDisplayName, m.name);
            p.set(PidTagRecipientDisplayName, m.name);
            p.set(PidTagTransmittableDisplayName, m.name);
            p.set(PidTagObjectType, MAPI_MAILUSER);
            p.set(PidTagDisplayType, DT_MAILUSER);
            p.set(PidTagRecipientFlags, RECIP_SENDABLE);
            p.set(PidTagSendRichInfo, false);
            if (!m.address.empty()) {
                p.set(PidTagAddressType, std::string("SMTP"));
                p.set(PidTagEmailAddress, m.address);
                p.set(PidTagSmtpAddress, m.address);
                p.set(PidTagSearchKey, AddressSearchKey(m.address));
                p.set(PidTagEntryId, OneOffEntryId(m.name, "SMTP", m.address));
            }
            out.recipients.push_back(std::move(r));
            if (!display.empty()) display += "; ";
            display += m.name;
        }
        SetString(out.props, kind.display, display);
    }
}

void Importer::FillDates(GMimeMessage* msg, PropertyBag& props) {
    std::optional<FileTime> sent;
    if (GDateTime* date = g_mime_message_get_date(msg))
        sent = FileTimeOf(date);
    else if (!RawHeader(GMIME_OBJECT(msg), "Date").empty())
        warnings_.Add("unreadable Date header \"" + RawHeader(GMIME_OBJECT(msg), "Date") + "\"");

    // Delivery: the time the topmost Received header (added last, by the receiving server)
    // gives after its last semicolon.
    std::optional<FileTime> received;
    std::string topReceived = RawHeader(GMIME_OBJECT(msg), "Received");
    size_t semi = topReceived.rfind(';');
    if (semi != std::string::npos) {
        if (GDateTime* dt = g_mime_utils_header_decode_date(topReceived.c_str() + semi + 1)) {
            received = FileTimeOf(dt);
            g_date_time_unref(dt);
        }
    }
    if (!sent) {
        sent = received ? *received : now_;
        if (depth_ == 0 && !received)
            warnings_.Add("the message has no readable date; the conversion time is used");
    }
    props.set(PidTagClientSubmitTime, *sent);
    props.set(PidTagMessageDeliveryTime, received ? *received : *sent);
    props.set(PidTagCreationTime, now_);
    props.set(PidTagLastModificationTime, now_);
}

void Importer::FillHeaders(GMimeMessage* msg, PropertyBag& props) {
    GMimeObject* obj = GMIME_OBJECT(msg);
    SetString(props, PidTagInternetMessageId, RawHeader(obj, "Message-ID"));
    SetString(props, PidTagInReplyToId, RawHeader(obj, "In-Reply-To"));
    SetString(props, PidTagInternetReferences, RawHeader(obj, "References"));
    SetString(props, PidTagListHelp, RawHeader(obj, "List-Help"));
    SetString(props, PidTagListSubscribe, RawHeader(obj, "List-Subscribe"));
    SetString(props, PidTagListUnsubscribe, RawHeader(obj, "List-Unsubscribe"));

    // Importance, else the X-Priority number (1 highest .. 5 lowest), else X-MSMail-Priority.
    int32_t importance = IMPORTANCE_NORMAL;
    std::string imp = Lower(RawHeader(obj, "Importance"));
    std::string xprio = RawHeader(obj, "X-Priority");
    std::string msprio = Lower(RawHeader(obj, "X-MSMail-Priority"));
    if (imp == "high")
        importance = IMPORTANCE_HIGH;
    else if (imp == "low")
        importance = IMPORTANCE_LOW;
    else if (imp.empty() && !xprio.empty() && std::isdigit(static_cast<unsigned char>(xprio[0]))) {
        int n = xprio[0] - '0';
        importance = n <= 2 ? IMPORTANCE_HIGH : n >= 4 ? IMPORTANCE_LOW : IMPORTANCE_NORMAL;
    } else if (imp.empty() && xprio.empty()) {
        if (msprio == "high")
            importance = IMPORTANCE_HIGH;
        else if (msprio == "low")
            importance = IMPORTANCE_LOW;
    }
    props.set(PidTagImportance, importance);

    int32_t priority = PRIO_NORMAL;
    std::string prio = Lower(RawHeader(obj, "Priority"));
    if (prio == "urgent")
        priority = PRIO_URGENT;
    else if (prio == "non-urgent")
        priority = PRIO_NONURGENT;
    props.set(PidTagPriority, priority);

    int32_t sensitivity = SENSITIVITY_NONE;
    std::string sens = Lower(RawHeader(obj, "Sensitivity"));
    if (sens == "personal")
        sensitivity = SENSITIVITY_PERSONAL;
    else if (sens == "private")
        sensitivity = SENSITIVITY_PRIVATE;
    else if (sens == "company-confidential")
        sensitivity = SENSITIVITY_COMPANY_CONFIDENTIAL;
    props.set(PidTagSensitivity, sensitivity);
}

void Importer::FillBody(const BodyChoice& body, PropertyBag& props) {
    int32_t codePage = 0;
    std::string plainText;
    if (body.html != nullptr) {
        Bytes html;
        DecodeContent(GMIME_PART(body.html), html);
        std::string charset = Utf8(g_mime_object_get_content_type_parameter(body.html, "charset"));
        std::string_view bytes(reinterpret_cast<const char*>(html.data()), html.size());
        DecodedText decoded = DecodeCharset(bytes, charset);
        codePage = decoded.codePage;
        if (decoded.unknownCharset || decoded.invalidBytes || codePage == 0) {
            // Outlook could not show these bytes right: keep the HTML as UTF-8 instead.
            if (decoded.unknownCharset)
                warnings_.Add("unknown charset \"" + charset +
                              "\" of the HTML body; read as "
                              "UTF-8 or Windows-1252");
            else if (decoded.invalidBytes)
                warnings_.Add("the HTML body has bytes that are not valid " + charset +
                              "; they were read as Windows-1252");
            html = ToBytes(decoded.text);
            codePage = 65001;
        }
        if (!html.empty()) props.set(PidTagHtml, std::move(html));
        htmlText_ = std::move(decoded.text);
        htmlLowerMade_ = false;
        props.set(PidTagNativeBody, NATIVE_BODY_HTML);
    }
    if (body.plain != nullptr) {
        Bytes raw;
        DecodeContent(GMIME_PART(body.plain), raw);
        std::string charset = Utf8(g_mime_object_get_content_type_parameter(body.plain, "charset"));
        DecodedText decoded = DecodeCharset(
            std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()), charset);
        if (decoded.unknownCharset)
            warnings_.Add("unknown charset \"" + charset +
                          "\" of the text body; read as UTF-8 or Windows-1252");
        else if (decoded.invalidBytes)
            warnings_.Add("the text body has bytes that are not valid " + charset +
                          "; they were read as Windows-1252");
        plainText = NormaliseLineEnds(decoded.text);
        if (codePage == 0) codePage = decoded.codePage;
        if (body.html == nullptr) props.set(PidTagNativeBody, NATIVE_BODY_PLAIN);
    } else if (body.html != nullptr) {
        // Search and readers without HTML get the text of the HTML body.
        plainText = NormaliseLineEnds(HtmlToText(htmlText_));
    }
    SetString(props, PidTagBody, std::move(plainText));
    if (codePage == 0) codePage = 65001;
    props.set(PidTagInternetCodepage, codePage);
    props.set(PidTagMessageCodepage, codePage);
}

// The signed entity byte for byte as it came, so that the signature still verifies: its
// Content-* headers, a blank line, then the body straight from the input.
Bytes Importer::SignedEntityBytes(GMimeObject* root) {
    if (!appendRootBody) return WriteObject(root);
    GMimeFormatOptions* fmt = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(fmt, GMIME_NEWLINE_FORMAT_DOS);
    GString_ headers(g_mime_object_get_headers(root, fmt));
    g_mime_format_options_free(fmt);
    Bytes entity = ToBytes(headers ? headers.get() : "");
    entity.push_back('\r');
    entity.push_back('\n');
    appendRootBody(entity);
    return entity;
}

Attachment& Importer::NewAttachment(Message& out) {
    Attachment& att = out.attachments.emplace_back();
    att.props.set(PidTagAttachNumber, static_cast<int32_t>(out.attachments.size() - 1));
    att.props.set(PidTagRenderingPosition, int32_t{-1});
    att.props.set(PidTagObjectType, MAPI_ATTACH);
    return att;
}

void SetNames(Attachment& att, std::string name, const std::string& mimeType) {
    name = CleanFileName(std::move(name));
    if (name.empty())
        name = "attachment-" + std::to_string(*att.props.int32(PidTagAttachNumber) + 1) +
               ExtensionForMimeType(mimeType);
    att.props.set(PidTagAttachLongFilename, name);
    att.props.set(PidTagDisplayName, name);
    att.props.set(PidTagAttachFilename, ShortFileName(name));
    SetString(att.props, PidTagAttachExtension, ExtensionOf(name));
}

void Importer::AddRawEntity(GMimeObject* obj, Bytes bytes, std::string name, std::string mimeType,
                            bool hidden, Message& out) {
    Attachment& att = NewAttachment(out);
    att.props.set(PidTagAttachMethod, ATTACH_BY_VALUE);
    att.props.set(PidTagAttachMimeTag, mimeType);
    SetNames(att, std::move(name), mimeType);
    att.props.set(PidTagAttachSize, ClampToInt32(bytes.size()));
    if (hidden) att.props.set(PidTagAttachmentHidden, true);
    att.data = std::move(bytes);
}

void Importer::AddPart(GMimePart* part, bool inBodyRelated, Message& out) {
    GMimeObject* obj = GMIME_OBJECT(part);
    const std::string mimeType = MimeTypeOf(obj);
    Bytes data;
    DecodeContent(part, data);
    if (mimeType == "message/rfc822") {
        // A forwarded message sent with a transfer encoding GMime does not parse through.
        AddEmbeddedFromBytes(obj, std::move(data), out);
        return;
    }
    Attachment& att = NewAttachment(out);
    PropertyBag& p = att.props;
    p.set(PidTagAttachMethod, ATTACH_BY_VALUE);
    p.set(PidTagAttachMimeTag, mimeType);
    SetNames(att, FileNameOf(obj), mimeType);
    std::string contentId = Utf8(g_mime_object_get_content_id(obj));
    std::string location = RawHeader(obj, "Content-Location");
    SetString(p, PidTagAttachContentId, contentId);
    SetString(p, PidTagAttachContentLocation, location);
    SetString(p, PidTagAttachContentBase, RawHeader(obj, "Content-Base"));
    p.set(PidTagAttachSize, ClampToInt32(data.size()));
    // [MS-OXCMAIL] 2.2.3.4.1.4.1: a part of the HTML body's multipart/related that the HTML
    // shows by its Content-ID or Content-Location is inline, hidden from the attachment list.
    // A part the HTML does not refer to stays visible, so that no attachment is hidden away.
    bool inlineInHtml = false;
    if (inBodyRelated && !IsAttachmentDisposition(obj)) {
        const std::string& html = HtmlLower();
        if (!contentId.empty() && html.find("cid:" + Lower(contentId)) != std::string::npos)
            inlineInHtml = true;
        if (!location.empty() && html.find(Lower(location)) != std::string::npos)
            inlineInHtml = true;
    }
    if (inlineInHtml) {
        p.set(PidTagAttachmentHidden, true);
        p.set(PidTagAttachFlags, ATT_MHTML_REF);
    }
    att.data = std::move(data);
}

void Importer::AddEmbedded(GMimeMessagePart* part, Message& out) {
    GMimeMessage* inner = g_mime_message_part_get_message(part);
    GMimeObject* obj = GMIME_OBJECT(part);
    if (inner == nullptr || depth_ + 1 > kMaxNesting) {
        if (inner != nullptr)
            warnings_.Add("messages nested too deeply" + At(OffsetOf(obj)) +
                          "; the innermost is kept as a file");
        Bytes raw = inner != nullptr ? WriteObject(GMIME_OBJECT(inner)) : Bytes();
        AddRawEntity(obj, std::move(raw), FileNameOf(obj), "message/rfc822", false, out);
        return;
    }
    Attachment& att = NewAttachment(out);
    att.embedded = std::make_unique<Message>();
    Importer nested(options_, parserOptions_, warnings_, now_, depth_ + 1);
    GString_ headers(g_mime_object_get_headers(GMIME_OBJECT(inner), nullptr));
    const int64_t size = WrittenSize(GMIME_OBJECT(inner));
    nested.FillMessage(inner, headers ? headers.get() : "", size, *att.embedded);
    PropertyBag& p = att.props;
    p.set(PidTagAttachMethod, ATTACH_EMBEDDED_MSG);
    p.set(PidTagAttachMimeTag, std::string("message/rfc822"));
    std::string display = att.embedded->props.string(PidTagSubject).value_or("");
    if (display.empty()) display = CleanFileName(FileNameOf(obj));
    SetString(p, PidTagDisplayName, display);
    p.set(PidTagAttachSize, ClampToInt32(static_cast<uint64_t>(size)));
}

void Importer::AddEmbeddedFromBytes(GMimeObject* part, Bytes bytes, Message& out) {
    if (depth_ + 1 > kMaxNesting) {
        AddRawEntity(part, std::move(bytes), FileNameOf(part), "message/rfc822", false, out);
        return;
    }
    ImportOptions nestedOptions = options_;
    nestedOptions.now = now_;
    std::vector<std::string> nestedWarnings;
    ImportResult inner;
    inner = ImportNested(bytes, nestedOptions, depth_ + 1);  // same rules, one level deeper
    for (auto& w : inner.warnings) warnings_.Add("in an attached message: " + w);
    Attachment& att = NewAttachment(out);
    att.embedded = std::make_unique<Message>(std::move(inner.message));
    att.props.set(PidTagAttachMethod, ATTACH_EMBEDDED_MSG);
    att.props.set(PidTagAttachMimeTag, std::string("message/rfc822"));
    SetString(att.props, PidTagDisplayName, att.embedded->props.string(PidTagSubject).value_or(""));
    att.props.set(PidTagAttachSize, ClampToInt32(bytes.size()));
}

void Importer::CollectAttachments(GMimeObject* obj, GMimeMultipart* parent, const BodyChoice& body,
                                  Message& out, int depth) {
    if (obj == nullptr || obj == body.plain || obj == body.html) return;
    if (GMIME_IS_MESSAGE_PART(obj)) {
        AddEmbedded(GMIME_MESSAGE_PART(obj), out);
        return;
    }
    if (GMIME_IS_MULTIPART(obj)) {
        auto* mp = GMIME_MULTIPART(obj);
        const int n = g_mime_multipart_get_count(mp);
        if (n == 0 || depth > kMaxNesting) {
            // Nothing GMime could split: keep the entity's lines as they are, as text the user
            // can open.
            AddRawEntity(obj, WriteObject(obj), std::string(), "text/plain", false, out);
            return;
        }
        for (int i = 0; i < n; ++i) {
            GMimeObject* child = g_mime_multipart_get_part(mp, i);
            // The other renderings of the body are the body, not attachments.
            if (mp == body.alternative && IsBodyTextPart(child)) continue;
            CollectAttachments(child, mp, body, out, depth + 1);
        }
        return;
    }
    if (GMIME_IS_PART(obj))
        AddPart(GMIME_PART(obj), parent != nullptr && parent == body.related, out);
}

void Importer::FillMessage(GMimeMessage* msg, const std::string& rawHeaders, int64_t size,
                           Message& out) {
    PropertyBag& props = out.props;
    FillSubject(msg, props);
    FillSender(msg, props);
    FillRecipients(msg, out);
    FillDates(msg, props);
    FillHeaders(msg, props);

    std::string headers = NormaliseLineEnds(UndeclaredToUtf8(rawHeaders));
    while (headers.size() >= 2 && headers.compare(headers.size() - 2, 2, "\r\n") == 0)
        headers.resize(headers.size() - 2);
    if (!headers.empty()) SetString(props, PidTagTransportMessageHeaders, headers + "\r\n");

    GMimeObject* root = g_mime_message_get_mime_part(msg);
    std::string messageClass = kClassNote;
    if (root != nullptr && IsSmimeSigned(root)) {
        // Outlook keeps a clear-signed message whole, as an attachment it checks the signature
        // on; the body and the attachments inside the signed part are mapped as well, so that
        // the message reads the same in any program.
        messageClass = kClassSmimeMultipartSigned;
        GMimeObject* content = g_mime_multipart_get_count(GMIME_MULTIPART(root)) > 0
                                   ? g_mime_multipart_get_part(GMIME_MULTIPART(root), 0)
                                   : nullptr;
        BodyChoice body = FindBody(content, 0);
        FillBody(body, props);
        CollectAttachments(content, nullptr, body, out, 0);
        AddRawEntity(root, SignedEntityBytes(root), kSmimeAttachmentName, "multipart/signed", true,
                     out);
    } else if (root != nullptr && IsSmimeOpaque(root)) {
        // Signed or encrypted data with no readable body: the data is the whole content.
        messageClass = kClassSmime;
        FillBody(BodyChoice{}, props);
        Bytes data;
        DecodeContent(GMIME_PART(root), data);
        AddRawEntity(root, std::move(data), kSmimeAttachmentName, "application/pkcs7-mime", false,
                     out);
    } else {
        BodyChoice body = FindBody(root, 0);
        FillBody(body, props);
        CollectAttachments(root, nullptr, body, out, 0);
    }
    props.set(PidTagMessageClass, messageClass);

    // Read, not unsent; the paperclip only for attachments the user can see (inline images of
    // an HTML body do not count).
    bool visibleAttachment =
        std::any_of(out.attachments.begin(), out.attachments.end(), [](const Attachment& a) {
            return !a.props.boolean(PidTagAttachmentHidden).value_or(false);
        });
    props.set(PidTagMessageFlags, MSGFLAG_READ | (visibleAttachment ? MSGFLAG_HASATTACH : 0));
    // What the mail program kept about the message; an attached message is shown as read.
    if (depth_ == 0) FillMailState(GMIME_OBJECT(msg), props);
    props.set(PidTagHasAttachments, visibleAttachment);
    props.set(PidTagMessageSize, ClampToInt32(static_cast<uint64_t>(std::max<int64_t>(size, 0))));
    props.set(PidTagStoreSupportMask, STORE_SUPPORT_MASK_UNICODE);

    // The search key identifies copies of the same message: a digest of its header block.
    GChecksum* md5 = g_checksum_new(G_CHECKSUM_MD5);
    g_checksum_update(md5, reinterpret_cast<const guchar*>(rawHeaders.data()),
                      static_cast<gssize>(rawHeaders.size()));
    Bytes key(16);
    gsize keyLen = key.size();
    g_checksum_get_digest(md5, key.data(), &keyLen);
    g_checksum_free(md5);
    props.set(PidTagSearchKey, std::move(key));
}

// A GByteArray over bytes the caller owns, for a GMime memory stream that does not own it:
// GLib neither frees nor grows the bytes, since the array gives them back (steals them) before
// it goes.
class BorrowedBytes {
  public:
    explicit BorrowedBytes(std::span<const uint8_t> bytes)
        : array_(g_byte_array_new_take(const_cast<uint8_t*>(bytes.data()), bytes.size())) {}
    ~BorrowedBytes() {
        g_byte_array_steal(array_, nullptr);
        g_byte_array_unref(array_);
    }
    BorrowedBytes(const BorrowedBytes&) = delete;
    BorrowedBytes& operator=(const BorrowedBytes&) = delete;
    GByteArray* array() const { return array_; }

  private:
    GByteArray* array_;
};

// Skips an mbox "From " line at `start`, returning the offset after it.
template <typename ReadFn>
int64_t SkipFromLine(ReadFn read, int64_t total) {
    std::string head = read(0, 5);
    if (head != "From ") return 0;
    int64_t pos = 0;
    while (pos < total) {
        std::string chunk = read(pos, 8192);
        if (chunk.empty()) break;
        size_t nl = chunk.find('\n');
        if (nl != std::string::npos) return pos + static_cast<int64_t>(nl) + 1;
        pos += static_cast<int64_t>(chunk.size());
    }
    return total;
}

// The MIME headers an entity has only one of.
constexpr const char* kSingleMimeHeaders[] = {"Content-Type",        "Content-Transfer-Encoding",
                                              "Content-Disposition", "Content-ID",
                                              "Content-Location",    "Content-Base",
                                              "MIME-Version"};
// A message with a repeated MIME header is parsed again from a copy up to this size.
constexpr int64_t kMaxRepeatCopy = int64_t{256} << 20;

// Where the input repeats a single MIME header of one entity, the offsets of the repeats.
void FindRepeatedMimeHeaders(GMimeObject* obj, std::vector<int64_t>& repeats, int depth = 0) {
    if (obj == nullptr || depth > kMaxNesting) return;
    GMimeHeaderList* list = g_mime_object_get_header_list(obj);
    const int n = list != nullptr ? g_mime_header_list_get_count(list) : 0;
    std::array<bool, std::size(kSingleMimeHeaders)> seen{};
    for (int i = 0; i < n; ++i) {
        GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
        const char* name = g_mime_header_get_name(h);
        for (size_t k = 0; k < seen.size(); ++k) {
            if (g_ascii_strcasecmp(name, kSingleMimeHeaders[k]) != 0) continue;
            if (seen[k]) repeats.push_back(g_mime_header_get_offset(h));
            seen[k] = true;
        }
    }
    if (GMIME_IS_MESSAGE(obj)) {
        FindRepeatedMimeHeaders(g_mime_message_get_mime_part(GMIME_MESSAGE(obj)), repeats,
                                depth + 1);
    } else if (GMIME_IS_MULTIPART(obj)) {
        for (int i = 0; i < g_mime_multipart_get_count(GMIME_MULTIPART(obj)); ++i)
            FindRepeatedMimeHeaders(g_mime_multipart_get_part(GMIME_MULTIPART(obj), i), repeats,
                                    depth + 1);
    } else if (GMIME_IS_MESSAGE_PART(obj)) {
        FindRepeatedMimeHeaders(
            GMIME_OBJECT(g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj))), repeats,
            depth + 1);
    }
}

ImportResult ImportFromStream(GMimeStream* stream, const RawInput& raw, int64_t start, int64_t size,
                              const ImportOptions& options, int depth, bool repeatsHidden = false) {
    ImportResult result;
    Warnings warnings(result.warnings);
    const FileTime now = options.now ? *options.now : FileTimeNow();
    {
        ParserOptions parserOptions(&warnings);
        GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream));
        g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
        // Parts refer to their bytes in the input instead of copying them.
        g_mime_parser_set_persist_stream(parser.get(), TRUE);
        GPtr<GMimeMessage> msg(
            g_mime_parser_construct_message(parser.get(), parserOptions.options));
        std::vector<int64_t> repeats;
        if (msg && !repeatsHidden) FindRepeatedMimeHeaders(GMIME_OBJECT(msg.get()), repeats);
        if (!repeats.empty() && size > kMaxRepeatCopy) {
            warnings.Add("repeated MIME headers" + At(repeats.front()) +
                         " in a message too large to parse again; the last of each counts");
            repeats.clear();
        }
        if (!repeats.empty()) {
            // GMime lets the last of a repeated Content-Type (or other single MIME header)
            // decide; mail programs take the first, which is most often the one the sender
            // meant (a MIME preamble line that follows the headers without a blank line reads
            // as a second Content-Type). The message is parsed again from a copy in which the
            // repeats no longer name a MIME header; the raw header block stays as it came.
            msg.reset();
            parser.reset();
            std::string bytes = raw.Read(0, static_cast<size_t>(size));
            std::sort(repeats.begin(), repeats.end());
            repeats.erase(std::unique(repeats.begin(), repeats.end()), repeats.end());
            for (int64_t at : repeats) {
                if (at < 0 || static_cast<uint64_t>(at) + 2 > bytes.size()) continue;
                const size_t colon = bytes.find(':', static_cast<size_t>(at));
                warnings.Add("repeated " + bytes.substr(at, colon - at) + " header" + At(at) +
                             "; the first one counts");
                bytes[at] = 'X';
                bytes[at + 1] = '-';
            }
            GPtr<GMimeStream> copy(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
            g_mime_stream_set_bounds(copy.get(), start, -1);
            g_mime_stream_seek(copy.get(), start, GMIME_STREAM_SEEK_SET);
            ImportResult again =
                ImportFromStream(copy.get(), raw, start, size, options, depth, true);
            for (auto& w : again.warnings) warnings.Add(std::move(w));
            warnings.Finish();
            again.warnings = std::move(result.warnings);
            return again;
        }
        if (!msg) {
            warnings.Add("no message found" + At(start));
            msg.reset(g_mime_message_new(FALSE));
        }
        int64_t headersBegin = g_mime_parser_get_headers_begin(parser.get());
        int64_t headersEnd = g_mime_parser_get_headers_end(parser.get());
        std::string rawHeaders;
        if (headersBegin >= 0 && headersEnd > headersBegin) {
            uint64_t len = static_cast<uint64_t>(headersEnd - headersBegin);
            if (len > kMaxTransportHeaders) {
                warnings.Add("header block of " + std::to_string(len) + " bytes; only its first " +
                             std::to_string(kMaxTransportHeaders) +
                             " are kept as transport headers");
                len = kMaxTransportHeaders;
            }
            rawHeaders = raw.Read(headersBegin, static_cast<size_t>(len));
        }
        Importer importer(options, parserOptions.options, warnings, now, depth);
        if (headersEnd >= 0) {
            importer.appendRootBody = [&raw, headersEnd, size](Bytes& out) {
                std::string eol = raw.Read(headersEnd, 2);
                int64_t bodyStart = headersEnd + (eol == "\r\n"           ? 2
                                                  : eol.starts_with("\n") ? 1
                                                                          : 0);
                raw.AppendTo(out, bodyStart, size);
            };
        }
        importer.FillMessage(msg.get(), rawHeaders, size - start, result.message);
        result.expunged = importer.expunged;
        msg.reset();  // before the parser options it refers to
    }
    warnings.Finish();
    return result;
}

}  // namespace

ImportResult ImportNested(std::span<const uint8_t> bytes, const ImportOptions& options, int depth) {
    InitGMime();
    MemoryInput raw(bytes);
    const int64_t total = static_cast<int64_t>(bytes.size());
    int64_t start = 0;
    if (bytes.size() >= 5 && std::memcmp(bytes.data(), "From ", 5) == 0) {
        const void* nl = std::memchr(bytes.data(), '\n', bytes.size());
        start = nl != nullptr ? static_cast<const uint8_t*>(nl) - bytes.data() + 1 : total;
    }
    // GMime parses the caller's bytes where they are, without a copy of its own: the array
    // lends them to the stream and gives them back before they go out of scope. GMime only
    // reads from the stream.
    std::optional<BorrowedBytes> borrowed;
    GPtr<GMimeStream> stream;
    if (bytes.size() <= G_MAXUINT) {
        borrowed.emplace(bytes);
        stream.reset(g_mime_stream_mem_new_with_byte_array(borrowed->array()));
        g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(stream.get()), FALSE);
    } else {
        // More than a GByteArray can lend; GMime's own copy holds what it can.
        stream.reset(g_mime_stream_mem_new_with_buffer(reinterpret_cast<const char*>(bytes.data()),
                                                       bytes.size()));
    }
    // Offsets GMime reports are then those of the buffer.
    g_mime_stream_set_bounds(stream.get(), start, -1);
    g_mime_stream_seek(stream.get(), start, GMIME_STREAM_SEEK_SET);
    return ImportFromStream(stream.get(), raw, start, total, options, depth);
}

ImportResult ImportMessageBuffer(std::span<const uint8_t> bytes, const ImportOptions& options) {
    return ImportNested(bytes, options, 0);
}

ImportResult ImportMessageFile(const std::filesystem::path& file, const ImportOptions& options) {
    InitGMime();
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ImportError(file, std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        throw ImportError(file, std::strerror(err));
    }
    if (S_ISDIR(st.st_mode)) {
        close(fd);
        throw ImportError(file, std::strerror(EISDIR));
    }
    FdInput raw(fd);
    const int64_t total = st.st_size;
    // A read error here is the only one GMime would not tell us about.
    char probe;
    if (pread(fd, &probe, 1, 0) < 0) {
        int err = errno;
        close(fd);
        throw ImportError(file, std::strerror(err));
    }
    const int64_t start =
        SkipFromLine([&](int64_t off, size_t len) { return raw.Read(off, len); }, total);
    // The stream owns the descriptor from here on and closes it.
    GPtr<GMimeStream> stream(g_mime_stream_fs_new_with_bounds(fd, start, -1));
    return ImportFromStream(stream.get(), raw, start, total, options, 0);
}

}  // namespace quill::store::mime
