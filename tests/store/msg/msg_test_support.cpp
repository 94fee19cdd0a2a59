#include "msg_test_support.h"

#include <gmime/gmime.h>

#include <mutex>

#include "../../support/files.h"

namespace quill::store::msg::testing {

static Bytes Decoded(GMimePart* part) {
    Bytes out;
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (content == nullptr) return out;
    GMimeStream* mem = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(content, mem);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
    out.assign(bytes->data, bytes->data + bytes->len);
    g_object_unref(mem);
    return out;
}

static std::vector<Address> Addresses(InternetAddressList* list) {
    std::vector<Address> out;
    if (list == nullptr) return out;
    for (int i = 0; i < internet_address_list_length(list); ++i) {
        InternetAddress* a = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(a)) {  // "Team: dave@example.com, Eve <...>;"
            std::vector<Address> members =
                Addresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)));
            out.insert(out.end(), members.begin(), members.end());
            continue;
        }
        if (!INTERNET_ADDRESS_IS_MAILBOX(a)) continue;
        // A long header is folded, also inside display names: unfold.
        std::string name = internet_address_get_name(a) ? internet_address_get_name(a) : "";
        for (size_t at; (at = name.find_first_of("\r\n")) != std::string::npos;) name.erase(at, 1);
        out.push_back({name, internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a))});
    }
    return out;
}

static void Walk(GMimeObject* object, ConvertedMail& mail);

static std::shared_ptr<ConvertedMail> Read(GMimeMessage* message) {
    auto mail = std::make_shared<ConvertedMail>();
    const char* subject = g_mime_message_get_subject(message);
    mail->subject = subject ? subject : "";
    std::vector<Address> from = Addresses(g_mime_message_get_from(message));
    if (!from.empty()) mail->from = from[0];
    mail->to = Addresses(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_TO));
    mail->cc = Addresses(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_CC));
    if (GDateTime* date = g_mime_message_get_date(message)) mail->date = g_date_time_to_unix(date);
    const char* status = g_mime_object_get_header(GMIME_OBJECT(message), "Status");
    mail->status = status ? status : "";
    Walk(g_mime_message_get_mime_part(message), *mail);
    return mail;
}

static void Walk(GMimeObject* object, ConvertedMail& mail) {
    if (object == nullptr) return;
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multi = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multi); ++i)
            Walk(g_mime_multipart_get_part(multi, i), mail);
    } else if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (inner != nullptr) mail.forwarded.push_back(Read(inner));
    } else if (GMIME_IS_PART(object)) {
        GMimePart* part = GMIME_PART(object);
        GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
        bool attachment =
            disposition != nullptr && g_mime_content_disposition_is_attachment(disposition);
        GMimeContentType* type = g_mime_object_get_content_type(object);
        Bytes data = Decoded(part);
        if (!attachment && g_mime_content_type_is_type(type, "text", "plain")) {
            mail.plain.assign(data.begin(), data.end());
        } else if (!attachment && g_mime_content_type_is_type(type, "text", "html")) {
            mail.html.assign(data.begin(), data.end());
        } else {
            const char* name = g_mime_part_get_filename(part);
            mail.attachments.push_back({name ? name : "", std::move(data)});
        }
    }
}

std::optional<ConvertedMail> ReadMimeFile(const std::filesystem::path& file) {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
    const std::string text = quill::testing::ReadFile(file);
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    // Header words in unknown or undeclared charsets are read as the import reads them.
    GMimeParserOptions* options = g_mime_parser_options_new();
    const char* fallback[] = {"utf-8", "windows-1252", nullptr};
    g_mime_parser_options_set_fallback_charsets(options, fallback);
    GMimeMessage* message = g_mime_parser_construct_message(parser, options);
    std::optional<ConvertedMail> result;
    if (message != nullptr) {
        result = *Read(message);
        g_object_unref(message);
    }
    g_mime_parser_options_free(options);
    g_object_unref(parser);
    g_object_unref(stream);
    return result;
}

}  // namespace quill::store::msg::testing
