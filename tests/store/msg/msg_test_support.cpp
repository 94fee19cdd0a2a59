#include "msg_test_support.h"

#include <glib.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <sstream>

#include "../../support/files.h"

namespace quill::store::msg::testing {

TempFolder::TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "quill-msg-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) throw std::runtime_error("cannot create a temporary folder");
    path_ = made;
}

TempFolder::~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

CommandResult RunCommand(const std::string& command) {
    TempFolder folder;
    fs::path out = folder.path() / "out", err = folder.path() / "err";
    std::string full = "(" + command + ") >" + Quote(out) + " 2>" + Quote(err);
    CommandResult r;
    int status = std::system(full.c_str());
    if (status != -1 && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    r.out = quill::testing::ReadFile(out);
    r.err = quill::testing::ReadFile(err);
    return r;
}

static std::string ScriptPath(const std::string& name) {
    return (fs::path(MSG_TEST_SCRIPTS) / name).string();
}

// `why` when the shell command fails, else empty.
static std::string Unless(const std::string& command, const std::string& why) {
    return RunCommand(command).status == 0 ? std::string() : why;
}

std::string MissingPython() {
    static std::string answer = Unless("/usr/bin/python3 -c 'import olefile'",
                                       "python3-olefile is not installed for /usr/bin/python3");
    return answer;
}

std::string MissingMsgconvert() {
    static std::string answer = Unless(
        "command -v msgconvert", "msgconvert (libemail-outlook-message-perl) is not installed");
    return answer;
}

CommandResult CheckCompoundFile(const fs::path& file) {
    return RunCommand("/usr/bin/python3 " + Quote(ScriptPath("cfb_check.py")) + " " +
                      Quote(file.string()));
}

static std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

static std::vector<std::string> SplitSpaces(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ' ');) fields.push_back(field);
    if (fields.empty()) fields.emplace_back();
    return fields;
}

std::optional<MsgDump> DumpMsg(const fs::path& file, std::string& failure) {
    CommandResult r = RunCommand("/usr/bin/python3 " + Quote(ScriptPath("msg_dump.py")) + " " +
                                 Quote(file.string()));
    if (r.status != 0 && r.out.empty()) {
        failure = "msg_dump.py failed: " + r.err;
        return std::nullopt;
    }
    MsgDump d;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f = SplitSpaces(line);
        if (f[0] == "error" && f.size() == 2) {
            d.errors.push_back(FromHex(f[1]));
        } else if (f[0] == "storage" && f.size() == 3) {
            d.clsids[f[1]] = f[2];
        } else if (f[0] == "stream" && f.size() == 4) {
            d.streamSizes[f[1]] = std::stoull(f[2]);
            d.sha256[f[1]] = f[3];
        } else if (f[0] == "text" && f.size() == 3) {
            d.texts[f[1]] = FromHex(f[2]);
        } else if (f[0] == "header" && f.size() == 3) {
            d.headers[f[1]] = f[2];
        } else if (f[0] == "prop" && f.size() == 5) {
            d.props[f[1]][static_cast<uint32_t>(std::stoul(f[2], nullptr, 16))] = f[4];
        }
    }
    return d;
}

// ---- msgconvert output, read with GMime ------------------------------------------------

static void InitGmime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

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

// msgconvert 0.921 copies header values with characters beyond Latin-1 into the output
// unencoded ("Value for 'Subject' header with wide characters", "Wide character in print"):
// Perl then upgrades the byte strings of 8-bit body parts as Latin-1 and prints everything as
// UTF-8, so such bodies arrive encoded twice. Undo that when msgconvert said so.
static Bytes UndoPerlUpgrade(const Bytes& data) {
    gsize written = 0;
    gchar* narrowed =
        g_convert(reinterpret_cast<const gchar*>(data.data()), static_cast<gssize>(data.size()),
                  "ISO-8859-1", "UTF-8", nullptr, &written, nullptr);
    if (narrowed == nullptr) return data;
    Bytes out(narrowed, narrowed + written);
    g_free(narrowed);
    return out;
}

static void Walk(GMimeObject* object, ConvertedMail& mail, bool upgraded);

static std::shared_ptr<ConvertedMail> Read(GMimeMessage* message, bool upgraded) {
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
    Walk(g_mime_message_get_mime_part(message), *mail, upgraded);
    return mail;
}

static void Walk(GMimeObject* object, ConvertedMail& mail, bool upgraded) {
    if (object == nullptr) return;
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multi = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multi); ++i)
            Walk(g_mime_multipart_get_part(multi, i), mail, upgraded);
    } else if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (inner != nullptr) mail.forwarded.push_back(Read(inner, upgraded));
    } else if (GMIME_IS_PART(object)) {
        GMimePart* part = GMIME_PART(object);
        GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
        bool attachment =
            disposition != nullptr && g_mime_content_disposition_is_attachment(disposition);
        GMimeContentType* type = g_mime_object_get_content_type(object);
        Bytes data = Decoded(part);
        bool text = g_mime_content_type_is_type(type, "text", "*");
        if (!attachment && text && upgraded) data = UndoPerlUpgrade(data);
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

static std::optional<ConvertedMail> Parse(const std::string& text, bool upgraded) {
    InitGmime();
    GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    // Header words in unknown or undeclared charsets are read as the import reads them.
    GMimeParserOptions* options = g_mime_parser_options_new();
    const char* fallback[] = {"utf-8", "windows-1252", nullptr};
    g_mime_parser_options_set_fallback_charsets(options, fallback);
    GMimeMessage* message = g_mime_parser_construct_message(parser, options);
    std::optional<ConvertedMail> result;
    if (message != nullptr) {
        result = *Read(message, upgraded);
        g_object_unref(message);
    }
    g_mime_parser_options_free(options);
    g_object_unref(parser);
    g_object_unref(stream);
    return result;
}

std::optional<ConvertedMail> ConvertWithMsgconvert(const fs::path& file, std::string& failure) {
    // msgconvert prints dates in local time labelled +0000.
    CommandResult r = RunCommand("TZ=UTC msgconvert --outfile - " + Quote(file.string()));
    if (r.status != 0 || r.out.empty()) {
        failure = "msgconvert failed (status " + std::to_string(r.status) + "): " + r.err;
        return std::nullopt;
    }
    std::optional<ConvertedMail> result =
        Parse(r.out, r.err.find("Wide character") != std::string::npos);
    if (!result) failure = "GMime could not parse what msgconvert wrote:\n" + r.out.substr(0, 2000);
    return result;
}

std::string MissingMsgreader() {
    static std::string answer =
        Unless("command -v node && test -d " + Quote(QUILL_NPM_READERS "/@kenjiuno/msgreader"),
               "node or @kenjiuno/msgreader in " QUILL_NPM_READERS " is missing");
    return answer;
}

std::optional<ConvertedMail> ReadWithMsgreader(const fs::path& file, std::string& failure) {
    CommandResult r =
        RunCommand("NODE_PATH=" + Quote(QUILL_NPM_READERS) + " node " +
                   Quote(ScriptPath("msgreader_dump.js")) + " " + Quote(file.string()));
    if (r.status != 0) {
        failure = "msgreader failed (status " + std::to_string(r.status) + "): " + r.err;
        return std::nullopt;
    }
    // One message between "begin" and "end", attached messages nested the same way.
    std::vector<std::shared_ptr<ConvertedMail>> open;
    std::shared_ptr<ConvertedMail> top;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f = SplitSpaces(line);
        auto text = [&](size_t i) { return i < f.size() ? FromHex(f[i]) : std::string(); };
        if (f[0] == "begin") {
            auto mail = std::make_shared<ConvertedMail>();
            if (!open.empty()) open.back()->forwarded.push_back(mail);
            open.push_back(mail);
            continue;
        }
        if (open.empty()) break;
        ConvertedMail& mail = *open.back();
        if (f[0] == "end") {
            top = open.back();
            open.pop_back();
        } else if (f[0] == "subject") {
            mail.subject = text(1);
        } else if (f[0] == "from") {
            mail.from = {text(1), text(2)};
        } else if (f[0] == "to" || f[0] == "cc") {
            (f[0] == "to" ? mail.to : mail.cc).push_back({text(1), text(2)});
        } else if (f[0] == "date") {
            mail.date = std::stoll(f.at(1));
        } else if (f[0] == "plain") {
            mail.plain = text(1);
        } else if (f[0] == "html") {
            mail.html = text(1);
        } else if (f[0] == "attachment") {
            std::string data = text(2);
            mail.attachments.push_back({text(1), Bytes(data.begin(), data.end())});
        }
    }
    if (!top || !open.empty()) {
        failure = "msgreader printed no whole message:\n" + r.out.substr(0, 2000);
        return std::nullopt;
    }
    return *top;
}

std::optional<ConvertedMail> ReadMimeFile(const fs::path& file) {
    return Parse(quill::testing::ReadFile(file), false);
}

std::string Sha256(const uint8_t* data, size_t size) {
    gchar* sum = g_compute_checksum_for_data(G_CHECKSUM_SHA256, data, size);
    std::string out = sum;
    g_free(sum);
    return out;
}

Bytes ReadFile(const fs::path& file) {
    std::string s = quill::testing::ReadFile(file);
    return Bytes(s.begin(), s.end());
}

void WriteFile(const fs::path& file, const Bytes& data) {
    quill::testing::WriteFile(file, std::string(data.begin(), data.end()));
}

}  // namespace quill::store::msg::testing
