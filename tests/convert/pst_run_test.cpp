// PST runs end to end: mailboxes converted by the run into a new store, the store read by
// pffexport (libpff), and every message compared with what its mailbox held. (The store's own
// tests read stores with further readers.)

#include <gmime/gmime.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <map>

#include "convert/message_text.h"
#include "convert/store_outputs.h"
#include "run_support.h"

namespace fs = std::filesystem;
using namespace quill;

using namespace quill::testing;
using Host = ScriptedRunHost;

namespace {

struct Attached {
    std::string name;
    std::string bytes;
};

// A message as the test writes it into a mailbox, and as both readers must give it back.
struct Mail {
    std::string subject;  // UTF-8
    std::string fromName, fromAddress;
    std::vector<std::pair<std::string, std::string>> to, cc;  // name, address
    std::string date;                                         // RFC 5322
    std::string plain, html;                                  // either may be empty
    std::vector<Attached> attachments;
    std::vector<Mail> forwarded;  // message/rfc822 parts
    // What a mail program kept about it (Status, X-Mozilla-Status... headers), and what the
    // store must show for that: read or not, flagged, the last verb, the categories.
    std::string stateHeaders;
    bool unread = false, flagged = false, deleted = false;  // deleted: in Deleted Items
    int verb = 0;
    std::vector<std::string> categories;
};

std::string Base64Lines(const std::string& bytes) {
    gchar* all = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string text(all);
    g_free(all);
    std::string out;
    for (size_t i = 0; i < text.size(); i += 76) out += text.substr(i, 76) + "\n";
    return out;
}

std::string EncodedWord(const std::string& utf8) {
    for (unsigned char c : utf8)
        if (c >= 0x80)
            return "=?UTF-8?B?" + Base64Lines(utf8).substr(0, Base64Lines(utf8).find('\n')) + "?=";
    return utf8;
}

std::string AddressList(const std::vector<std::pair<std::string, std::string>>& list) {
    std::string out;
    for (const auto& [name, address] : list) {
        if (!out.empty()) out += ", ";
        out += name.empty() ? address : EncodedWord(name) + " <" + address + ">";
    }
    return out;
}

// The message in RFC 5322 form, without an mbox "From " line.
std::string Render(const Mail& m, int depth = 0) {
    const std::string b = "b" + std::to_string(depth);
    std::string out = "From: " + EncodedWord(m.fromName) + " <" + m.fromAddress + ">\n";
    if (!m.to.empty()) out += "To: " + AddressList(m.to) + "\n";
    if (!m.cc.empty()) out += "Cc: " + AddressList(m.cc) + "\n";
    out += "Subject: " + EncodedWord(m.subject) + "\nDate: " + m.date + "\nMIME-Version: 1.0\n" +
           m.stateHeaders;
    auto textPart = [](const char* type, const std::string& text) {
        return std::string("Content-Type: text/") + type +
               "; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n" + text + "\n";
    };
    std::string body;
    if (!m.plain.empty() && !m.html.empty())
        body = "Content-Type: multipart/alternative; boundary=\"a" + b + "\"\n\n--a" + b + "\n" +
               textPart("plain", m.plain) + "--a" + b + "\n" + textPart("html", m.html) + "--a" +
               b + "--\n";
    else
        body = m.html.empty() ? textPart("plain", m.plain) : textPart("html", m.html);
    if (m.attachments.empty() && m.forwarded.empty()) return out + body;
    out += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\n\n--" + b + "\n" + body;
    for (const Attached& a : m.attachments)
        out += "--" + b + "\nContent-Type: application/octet-stream\nContent-Disposition: " +
               "attachment; filename=\"" + EncodedWord(a.name) +
               "\"\nContent-Transfer-Encoding: base64\n\n" + Base64Lines(a.bytes);
    for (const Mail& f : m.forwarded)
        out += "--" + b + "\nContent-Type: message/rfc822\nContent-Disposition: attachment\n\n" +
               Render(f, depth + 1);
    return out + "--" + b + "--\n";
}

void WriteMailbox(const fs::path& path, const std::vector<Mail>& mails) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    if (mails.empty()) out << "Text without a message\n";
    for (const Mail& m : mails)
        out << "From " << m.fromAddress << " Mon Jan  5 10:00:00 2026\n" << Render(m) << "\n";
}

std::string WithoutCr(std::string s) {
    std::erase(s, '\r');
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

std::string Binary(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed) & 0xFF);
    return bytes;
}

// ---- What pffexport (libpff) shows of a message, one "key value" line per value ----

using Lines = std::vector<std::string>;

std::string Md5(const std::string& bytes) {
    return std::unique_ptr<gchar, decltype(&g_free)>(
               g_compute_checksum_for_data(
                   G_CHECKSUM_MD5, reinterpret_cast<const guchar*>(bytes.data()), bytes.size()),
               &g_free)
        .get();
}

// A message's date as pffexport prints it.
std::string DateAsShown(const std::string& rfcDate) {
    GDateTime* d = g_mime_utils_header_decode_date(rfcDate.c_str());
    GDateTime* utc = g_date_time_to_utc(d);
    gchar* text = g_date_time_format(utc, "%b %d, %Y %H:%M:%S.000000000 UTC");
    std::string out(text);
    g_free(text);
    g_date_time_unref(utc);
    g_date_time_unref(d);
    return out;
}

// The bodies without their line ends' CRs and the last line end: the plain one where the
// message had one (the store may derive one), the HTML one where it had one.
void AddBodies(Lines& l, const Mail& m, const std::string& plain, const std::string& html) {
    if (!m.plain.empty()) l.push_back("body " + WithoutCr(plain));
    if (!m.html.empty()) l.push_back("html " + WithoutCr(html));
}

// What pffexport must show of a message.
Lines Expected(const Mail& m) {
    Lines l = {"subject " + m.subject,
               "senderName " + m.fromName,
               "senderEmail " + m.fromAddress,
               "date " + DateAsShown(m.date),
               std::string("read ") + (m.unread ? "false" : "true"),
               "verb " + std::to_string(m.verb),
               m.flagged ? "flag 2 Follow up" : "flag 0 "};
    for (const std::string& c : m.categories) l.push_back("category " + c);
    AddBodies(l, m, m.plain, m.html);
    for (const auto& [list, type] : {std::pair{&m.to, "1"}, std::pair{&m.cc, "2"}})
        for (const auto& [name, address] : *list)
            l.push_back("recipient " + (name.empty() ? address : name) + " <" + address + "> " +
                        type);
    for (const Attached& a : m.attachments)
        l.insert(l.end(), {"attachment " + a.name, "md5 " + Md5(a.bytes)});
    for (const Mail& f : m.forwarded)
        for (const std::string& line : Expected(f)) l.push_back("> " + line);
    return l;
}

// ---- pffexport: the store's properties, one folder per message ----

std::string Field(const std::string& text, const std::string& name) {
    size_t at = text.find("\n" + name + ":");
    if (at == std::string::npos && text.rfind(name + ":", 0) == 0)
        at = 0;
    else if (at == std::string::npos)
        return "<none>";
    else
        ++at;
    size_t start = text.find_first_not_of('\t', text.find(':', at) + 1);
    return text.substr(start, text.find('\n', start) - start);
}

// Each value pffexport -d dumps for a message (ItemValues.txt), by its property id or the name
// its named property maps to ("0x00001090", "0x00008530", "Keywords").
std::map<std::string, std::string> PffValues(const fs::path& dir) {
    std::map<std::string, std::string> values;
    std::istringstream in(ReadFile(dir / "ItemValues.txt"));
    std::string line, key;
    while (std::getline(in, line)) {
        for (const char* label : {"Entry type:", "Maps to entry type:", "Maps to entry:"})
            if (line.starts_with(label))
                key = line.substr(line.find_first_not_of('\t', strlen(label)));
        if (!line.starts_with("0x") || line.find(": ") != 10) continue;
        std::istringstream hex(line.substr(12, 48));
        for (unsigned byte; hex >> std::hex >> byte;) values[key] += static_cast<char>(byte);
    }
    return values;
}

uint32_t Le32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && at + i < b.size(); ++i)
        v |= uint32_t(static_cast<uint8_t>(b[at + i])) << (8 * i);
    return v;
}

// A message as pffexport shows it; attachments are Attachments/<n>_<name> for data,
// Attachments/Attachment<n>/Message00001 for messages.
Lines PffShown(const fs::path& dir, const Mail& m) {
    const std::string h = ReadFile(dir / "OutlookHeaders.txt");
    std::map<std::string, std::string> v = PffValues(dir);
    std::string request = v["0x00008530"];
    std::erase(request, '\0');  // UTF-16 of ASCII
    Lines l = {"subject " + Field(h, "Subject"),
               "senderName " + Field(h, "Sender name"),
               "senderEmail " + Field(h, "Sender email address"),
               "date " + Field(h, "Client submit time"),
               std::string("read ") +
                   (Field(h, "Flags").find("Read") != std::string::npos ? "true" : "false"),
               "verb " + std::to_string(Le32(v["0x00001081"], 0)),
               "flag " + std::to_string(Le32(v["0x00001090"], 0)) + " " + request};
    // Keywords: a count, an offset of each string, the UTF-16 strings.
    const std::string& k = v["Keywords"];
    for (uint32_t i = 0, n = Le32(k, 0); i < n && k.size() >= 4 + 4 * n; ++i) {
        const uint32_t from = Le32(k, 4 + 4 * i), to = i + 1 < n ? Le32(k, 8 + 4 * i) : k.size();
        std::string text;
        for (uint32_t c = from; c < to && c < k.size(); c += 2) text += k[c];  // ASCII
        l.push_back("category " + text);
    }
    AddBodies(l, m, ReadFile(dir / "Message.txt"), ReadFile(dir / "Message.html"));
    std::string recipients = ReadFile(dir / "Recipients.txt");
    for (size_t at = 0; (at = recipients.find("Display name:", at)) != std::string::npos; ++at) {
        std::string block = recipients.substr(at, recipients.find("\n\n", at) - at);
        const std::string type = Field(block, "Recipient type");
        l.push_back("recipient " + Field(block, "Display name") + " <" +
                    Field(block, "Email address") + "> " +
                    (type == "To"   ? "1"
                     : type == "CC" ? "2"
                                    : type));
    }
    size_t n = 1;
    for (const Attached& a : m.attachments) {
        fs::path file = dir / "Attachments" / (std::to_string(n++) + "_" + a.name);
        l.insert(l.end(), {"attachment " + (fs::exists(file) ? a.name : file.string() + " missing"),
                           "md5 " + Md5(ReadFile(file))});
    }
    for (const Mail& f : m.forwarded) {
        char name[32];
        std::snprintf(name, sizeof name, "Attachment%05zu", n++);
        for (const std::string& line : PffShown(dir / "Attachments" / name / "Message00001", f))
            l.push_back("> " + line);
    }
    return l;
}

// The messages of each folder of pffexport's export, in store order: its message folders
// Message00001, Message00002, ... (beside the folder's own ItemValues.txt).
std::map<std::string, std::vector<fs::path>> ExportedMessages(const fs::path& top) {
    std::map<std::string, std::vector<fs::path>> out;
    for (const auto& folder : fs::directory_iterator(top)) {
        if (!folder.is_directory()) continue;
        auto& list = out[folder.path().filename().string()];
        for (const auto& m : fs::directory_iterator(folder.path()))
            if (m.is_directory()) list.push_back(m.path());
        std::sort(list.begin(), list.end());
    }
    return out;
}

class PstRun : public RunFolders<Host> {
  protected:
    void SetUp() override {
        RunFolders<Host>::SetUp();
        g_mime_init();
    }
    fs::path storeFile() {
        for (const auto& e : fs::directory_iterator(out_))
            if (e.path().extension() == ".pst") return e.path();
        return {};
    }
    // Converts, then checks every message of every mailbox through pffexport (below); those a
    // mail program had deleted are expected in Deleted Items, in mailbox order.
    void convertAndCompare(const std::vector<std::pair<fs::path, std::vector<Mail>>>& boxes,
                           std::vector<std::string> folderNames) {
        std::vector<std::vector<Mail>> expected(boxes.size() + 1);
        for (size_t i = 0; i < boxes.size(); ++i)
            for (const Mail& m : boxes[i].second)
                expected[m.deleted ? boxes.size() : i].push_back(m);
        std::vector<std::string> rows;
        for (const auto& [path, mails] : boxes) {
            WriteMailbox(path, mails);
            rows.push_back(path.string());
        }
        RunSummary s = RunConversion(host_, OutputKind::PST, rows, settings_);
        ASSERT_TRUE(s.storeFailure.empty()) << s.storeFailure;
        ASSERT_EQ(host_.boxes.size(), 1u);
        EXPECT_EQ(s.deletedItems, expected.back().size());
        // A mailbox without messages has an empty folder, and the box names it.
        std::string empty;
        for (const auto& [path, mails] : boxes)
            if (mails.empty()) empty += "\r\n" + path.string();
        if (!empty.empty()) empty = "\r\n\r\nNo message was found in:" + empty;
        EXPECT_EQ(host_.boxes[0].text, SuccessText(OutputKind::PST) + empty + DeletedItemsText(s));
        // The store, and no message file beside it.
        EXPECT_EQ(FilesBelow(out_), std::vector<std::string>{storeFile().filename().string()});
        folderNames.push_back("Deleted Items");
        std::vector<std::pair<std::string, std::vector<Mail>>> folders;
        for (size_t i = 0; i < folderNames.size(); ++i)
            folders.emplace_back(folderNames[i], expected[i]);
        std::sort(folderNames.begin(), folderNames.end());
        EXPECT_EQ(expectStored(storeFile(), folders, false), folderNames);
    }

    // The store, read by pffexport, holds the messages of each folder, in order: all of them,
    // or the first ones when the folder's mailbox was cut short. Returns the names of the
    // store's folders.
    std::vector<std::string> expectStored(
        const fs::path& pst, const std::vector<std::pair<std::string, std::vector<Mail>>>& folders,
        bool lastCut) {
        fs::remove_all(root_ / "x.export");
        const std::string command = "pffexport -d -m items -f all -q -t '" +
                                    (root_ / "x").string() + "' '" + pst.string() +
                                    "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        auto pff = ExportedMessages(exportTop_);
        std::vector<std::string> names;
        for (const auto& [name, list] : pff) names.push_back(name);
        for (size_t i = 0; i < folders.size(); ++i) {
            const auto& [name, mails] = folders[i];
            const auto& got = pff[name];
            if (lastCut && i + 1 == folders.size())
                EXPECT_LT(got.size(), mails.size()) << name;
            else
                EXPECT_EQ(got.size(), mails.size()) << name;
            for (size_t k = 0; k < got.size() && k < mails.size(); ++k)
                EXPECT_EQ(PffShown(got[k], mails[k]), Expected(mails[k])) << name << " " << k;
        }
        return names;
    }

    const fs::path exportTop_ = root_ / "x.export" / "Top of Personal Folders";
    RunSettings settings_ = DefaultRunSettings("/usr/share/doc/quillmere/manual.html");
};

Mail Simple(const std::string& subject, int minute) {
    Mail m;
    m.subject = subject;
    m.fromName = "Bob Sender";
    m.fromAddress = "bob@example.com";
    m.to = {{"Alice", "alice@example.com"}};
    char date[64];
    std::snprintf(date, sizeof date, "Tue, 6 Jan 2026 11:%02d:00 +0000", minute);
    m.date = date;
    m.plain = "Body of " + subject;
    return m;
}

// Every kind of message in one store: Unicode, alternatives, attachments and a forwarded
// message; mailboxes of the same name and a bundle; what mail programs keep about each message
// (read state, flags, answers and tags, a malformed header ignored for its own field only, a
// message Thunderbird deleted but kept, which goes to Deleted Items); values written piece by
// piece across each data block and data tree boundary (one block, an XBLOCK, an XXBLOCK) and
// bodies whose UTF-16 spans many blocks. (No characters past U+FFFF: pffexport 20180714
// decodes their surrogate pairs into other characters.)
TEST_F(PstRun, EveryMessageOfEveryMailboxReadBack) {
    Mail full = Simple("Réunion à Zürich – ünïcödé", 0);
    full.fromName = "Alice Example";
    full.fromAddress = "alice@example.com";
    full.to = {{"Bob", "bob@example.com"}, {"", "carol@example.com"}};
    full.cc = {{"Dave Ökonom", "dave@example.com"}};
    full.date = "Mon, 5 Jan 2026 10:00:00 +0100";
    full.plain = "Plain body line one\nline two, ünïcödé";
    full.html = "<html><body><p>HTML body</p></body></html>";
    full.attachments = {{"data.bin", Binary(70000, 3)}, {"Résumé.txt", "short text"}};
    Mail inner = Simple("Inner message", 1);
    inner.fromName = "Eve";
    inner.fromAddress = "eve@example.com";
    full.forwarded = {inner};
    Mail htmlOnly = Simple("HTML only", 2);
    htmlOnly.plain.clear();
    htmlOnly.html = "<html><body><b>bold</b></body></html>";
    htmlOnly.attachments = {{"empty.dat", ""}};

    struct Row {
        const char* headers;
        bool unread, flagged;
        int verb;
        std::vector<std::string> categories;
    } rows[] = {
        {"X-Mozilla-Status: 0000\n", true, false, 0, {}},
        {"X-Mozilla-Status: 0007\nStatus: O\n", false, true, 102, {}},  // Thunderbird's bits win
        {"X-Mozilla-Status: 1001\nX-Mozilla-Keys: $label1 $label4 client NonJunk          \n",
         false,
         false,
         104,
         {"Important", "To Do", "client"}},
        {"Status: RO\nX-Status: AF\n", false, true, 102, {}},
        {"Status: O\n", true, false, 0, {}},
        {"X-Gmail-Labels: Inbox,\"Work, later\",Unread,Starred,Opened\nKeywords: Work, later, "
         "x\nKeywords: y\n",
         true,
         true,
         0,
         {"Work", "later", "x", "y", "Inbox", "Work, later"}},
        {"X-Mozilla-Status: 00z1\nX-Status: F\nX-Gmail-Labels: \"open\n", false, true, 0, {}},
    };
    std::vector<Mail> states;
    for (const Row& row : rows) {
        Mail m = Simple("State " + std::to_string(states.size()), int(states.size()));
        m.stateHeaders = row.headers;
        m.unread = row.unread, m.flagged = row.flagged, m.verb = row.verb;
        m.categories = row.categories;
        states.push_back(m);
    }
    Mail deleted = Simple("Deleted in Thunderbird", 30);
    deleted.stateHeaders = "X-Mozilla-Status: 0009\n";
    deleted.deleted = true;
    states.insert(states.begin() + 2, deleted);

    Mail large = Simple("Block boundaries", 10);
    large.plain.clear();
    for (int i = 0; large.plain.size() < 200000; ++i)
        large.plain += "Zeile " + std::to_string(i) + ": Grüße – ✓ ünïcödé\n";
    large.plain.pop_back();  // the readers' text ends without a line end
    large.html = "<html><body>";
    for (int i = 0; large.html.size() < 50000; ++i)
        large.html += "<p>Absatz " + std::to_string(i) + "</p>";
    large.html += "</body></html>";
    const size_t block = 8176;
    for (size_t size :
         {size_t(3580), size_t(3581), block, block + 1, 2 * block, 1021 * block, 1021 * block + 1})
        large.attachments.push_back({"a" + std::to_string(size) + ".bin", Binary(size, size)});

    // More messages than a store run keeps waiting for the store.
    std::vector<Mail> many;
    for (int i = 0; i < 300; ++i) many.push_back(Simple("Message " + std::to_string(i), i % 60));
    convertAndCompare({{in_ / "A" / "Inbox.mbox", {full, Simple("Second", 3), htmlOnly}},
                       {in_ / "B" / "Inbox.mbox", {Simple("Other inbox", 4)}},
                       {in_ / "Work.mbox" / "mbox", {Simple("Bundle one", 5), Simple("Two", 6)}},
                       {in_ / "Sent.MBOX", {Simple("Sent one", 7)}},
                       {in_ / "State", states},
                       {in_ / "Large.mbox", {Simple("Before", 9), large}},
                       {in_ / "Empty.mbox", {}},
                       {in_ / "Many.mbox", many}},
                      {"Inbox", "Inbox (2)", "Work", "Sent", "State", "Large", "Empty", "Many"});
}

// A store run that fails (the window's box is the shared cases' test) leaves a store that
// readers open, with every message stored before: after a full output disk, with the message
// before the big one though its mailbox never ended; after a mailbox cut short by someone else
// during its search (a store run takes messages while the search goes on), whole messages in
// order, and no working copy or message file.
TEST_F(PstRun, AFailedRunLeavesAReadableStoreOfWholeMessages) {
    std::vector<Mail> first = {Simple("First one", 1), Simple("First two", 2)}, second;
    for (int i = 0; i < 24; ++i) {
        second.push_back(Simple("Second " + std::to_string(i), 10 + i));
        second.back().attachments = {{"p" + std::to_string(i) + ".bin", Binary(100u << 10, i)}};
    }
    const fs::path a = in_ / "First.mbox", b = in_ / "Second.mbox";
    WriteMailbox(a, first);
    WriteMailbox(b, second);
    const uint64_t cutAt = uint64_t{3} << 19;
    int mailbox = 0;
    host_.onCaption = [&](Caption which, const std::string& text) {
        if (which == Caption::LblProgessCurrent) ++mailbox;
        if (mailbox == 2 && which == Caption::LblHappening && text == "Searching for messages...")
            fs::resize_file(b, cutAt);
    };
    RunSummary s = RunConversion(host_, OutputKind::PST, {a.string(), b.string()}, settings_);
    EXPECT_NE(s.storeFailure.find("ends at offset " + std::to_string(cutAt)), std::string::npos)
        << s.storeFailure;
    EXPECT_EQ(FilesBelow(in_), (std::vector<std::string>{"First.mbox", "Second.mbox"}));
    EXPECT_EQ(FilesBelow(out_), std::vector<std::string>{storeFile().filename().string()});
    expectStored(storeFile(), {{"First", first}, {"Second", second}}, true);

    const fs::path disk = root_ / "disk";
    fs::create_directories(disk);
    SmallDisk small(disk, "size=3m");
    if (!small.why.empty()) GTEST_SKIP() << small.why;
    host_ = Host{};
    host_.folderAnswer = disk.string();
    Mail big = Simple("Does not fit", 3);
    big.attachments = {{"big.bin", Binary(4u << 20, 1)}};
    WriteMailbox(b, {Simple("Fits", 4), big, Simple("Never reached", 5)});
    s = RunConversion(host_, OutputKind::PST, {a.string(), b.string()}, settings_);
    EXPECT_NE(s.storeFailure.find("No space left on device"), std::string::npos) << s.storeFailure;
    fs::path pst;
    for (const auto& e : fs::directory_iterator(disk))
        if (e.path().extension() == ".pst") pst = e.path();
    expectStored(pst, {{"First", first}, {"Second", {Simple("Fits", 4)}}}, false);
}

// A message the store cannot take stays beside the store as its message file, even though a
// PST run normally never writes one for a message it holds in memory. The store here fails
// on the file size limit, which leaves room for the much smaller message file.
TEST_F(PstRun, MessageTheStoreCannotTakeIsKeptAsItsMessageFile) {
    std::vector<Mail> mails;
    for (int i = 0; i < 12; ++i) {
        mails.push_back(Simple("Number " + std::to_string(i), i));
        mails.back().attachments = {{"p.bin", Binary(300u << 10, i)}};
    }
    const fs::path box = in_ / "Limited.mbox";
    WriteMailbox(box, mails);

    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit limited = old;
    limited.rlim_cur = 2u << 20;
    auto* oldAction = std::signal(SIGXFSZ, SIG_IGN);  // a failed write instead of the end
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    RunSummary s = RunConversion(host_, OutputKind::PST, {box.string()}, settings_);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldAction);

    EXPECT_NE(s.storeFailure.find("File too large"), std::string::npos) << s.storeFailure;
    const fs::path folder = MailboxOutputFolder(out_.string(), box.string());
    std::vector<std::string> kept = FilesBelow(folder);
    ASSERT_EQ(kept.size(), 1u) << "one message file, of the message that was not stored";
    const std::string name = fs::path(kept[0]).filename().string();
    ASSERT_TRUE(name.starts_with("Email-") && name.ends_with(".eml")) << name;
    const size_t k = std::stoul(name.substr(6));
    ASSERT_LT(k, mails.size());
    EXPECT_EQ(ReadFile(folder / name),
              MessageFileText("From bob@example.com Mon Jan  5 10:00:00 2026\n" + Render(mails[k]) +
                              "\n"));
}

}  // namespace
