// quill-gen-mbox: writes a realistic Unix mailbox of a given size for benchmarks.
//
//   quill-gen-mbox --size 1G --out FILE [--seed N] [--crlf-share 0.3]
//                  [--big-message SIZE] [--long-line SIZE]
//
// Messages carry From/To/Cc/Subject/Date/Message-ID headers, plain-text and HTML
// alternatives, and some base64 attachments of 100 KB to 5 MB; some subjects hold "From"
// inside the line and some bodies hold ">From " lines (neither is a separator). A share of
// the messages has CR LF line ends, the rest LF, as in mailboxes merged from several
// exports. --big-message adds one message with an attachment of that size, --long-line one
// message with a body line of that length. The same seed gives the same file, byte for byte.
// Prints the number of messages (separators) written.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// splitmix64: small, fast and the same on every platform, unlike the standard distributions.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return n ? next() % n : 0; }
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    bool chance(double p) { return unit() < p; }

  private:
    uint64_t state_;
};

const char* const kWords[] = {
    "the",     "meeting", "report",   "quarter",  "budget",  "please",   "find",     "attached",
    "review",  "from",    "our",      "team",     "next",    "week",     "schedule", "project",
    "update",  "thanks",  "regards",  "invoice",  "payment", "delivery", "customer", "question",
    "answer",  "about",   "with",     "and",      "will",    "have",     "been",     "this",
    "that",    "should",  "could",    "would",    "draft",   "final",    "version",  "notes",
    "minutes", "agenda",  "call",     "tomorrow", "office",  "travel",   "hotel",    "flight",
    "lunch",   "dinner",  "contract", "signed",   "copy",    "files",    "server",   "backup",
    "über",    "café",    "naïve",    "Grüße",    "déjà",    "vu"};
const char* const kNames[] = {"Alice Martin", "Bob Keller",  "Carol Dubois",  "Dave Novak",
                              "Eve Larsen",   "Frank Rossi", "Grace Chen",    "Heidi Berg",
                              "Ivan Petrov",  "Judy Olsen",  "Mallory Quinn", "Oscar Silva"};
const char* const kDomains[] = {"example.com", "example.org", "mail.example.net", "corp.example"};
const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

template <typename T, size_t N>
const T& Pick(Random& r, const T (&items)[N]) {
    return items[r.below(N)];
}

uint64_t ParseSize(const char* text) {
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || value < 0) {
        std::fprintf(stderr, "quill-gen-mbox: not a size: %s\n", text);
        std::exit(2);
    }
    switch (*end) {
        case 'k':
        case 'K':
            value *= 1024;
            break;
        case 'm':
        case 'M':
            value *= 1024.0 * 1024;
            break;
        case 'g':
        case 'G':
            value *= 1024.0 * 1024 * 1024;
            break;
        case '\0':
            break;
        default:
            std::fprintf(stderr, "quill-gen-mbox: not a size: %s\n", text);
            std::exit(2);
    }
    return static_cast<uint64_t>(value);
}

class Output {
  public:
    explicit Output(const char* path) : path_(path) {
        fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) die("create");
        buffer_.reserve(kFlush + (1 << 20));
    }
    void put(const char* p, size_t n) {
        buffer_.append(p, n);
        if (buffer_.size() >= kFlush) flush();
    }
    void put(const std::string& s) { put(s.data(), s.size()); }
    void flush() {
        size_t done = 0;
        while (done < buffer_.size()) {
            ssize_t w = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) die("write");
            done += static_cast<size_t>(w);
        }
        written_ += buffer_.size();
        buffer_.clear();
    }
    void close() {
        flush();
        if (::close(fd_) != 0) die("close");
    }
    uint64_t size() const { return written_ + buffer_.size(); }

  private:
    static constexpr size_t kFlush = size_t{4} << 20;
    [[noreturn]] void die(const char* what) {
        std::fprintf(stderr, "quill-gen-mbox: could not %s %s: %s\n", what, path_.c_str(),
                     std::strerror(errno));
        std::exit(1);
    }
    std::string path_;
    int fd_ = -1;
    std::string buffer_;
    uint64_t written_ = 0;
};

class Generator {
  public:
    Generator(Output& out, uint64_t seed, double crlfShare)
        : out_(out), random_(seed), crlfShare_(crlfShare) {}

    // One message; attachment and longLine are extra sizes in bytes (0: none).
    void message(uint64_t attachment, uint64_t longLine) {
        eol_ = random_.chance(crlfShare_) ? "\r\n" : "\n";
        const std::string senderName = person();
        const std::string sender = address(senderName);
        const int day = static_cast<int>(1 + random_.below(28));
        const int hour = static_cast<int>(random_.below(24)),
                  minute = static_cast<int>(random_.below(60));
        const char* weekday = Pick(random_, kDays);
        const char* month = Pick(random_, kMonths);
        const int year = static_cast<int>(2005 + random_.below(20));
        char line[256];
        std::snprintf(line, sizeof line, "From %s %s %s %2d %02d:%02d:%02d %d", sender.c_str(),
                      weekday, month, day, hour, minute, static_cast<int>(random_.below(60)), year);
        put(line);
        put("From: " + senderName + " <" + sender + ">");
        const std::string to = person(), cc = person();
        put("To: " + to + " <" + address(to) + ">");
        if (random_.chance(0.4)) put("Cc: " + cc + " <" + address(cc) + ">, " + address(person()));
        put("Subject: " + subject());
        std::snprintf(line, sizeof line, "Date: %s, %d %s %d %02d:%02d:00 +0100", weekday, day,
                      month, year, hour, minute);
        put(line);
        std::snprintf(line, sizeof line, "Message-ID: <%016" PRIx64 ".%u@%s>", random_.next(),
                      ++count_, Pick(random_, kDomains));
        put(line);
        put("MIME-Version: 1.0");

        const std::string outer = boundary(), inner = boundary();
        const bool mixed = attachment > 0 || longLine > 0;
        if (mixed) {
            put("Content-Type: multipart/mixed; boundary=\"" + outer + "\"");
            put("");
            put("--" + outer);
        }
        put("Content-Type: multipart/alternative; boundary=\"" + inner + "\"");
        put("");
        const std::vector<std::string> paragraphs = text();
        put("--" + inner);
        put("Content-Type: text/plain; charset=utf-8");
        put("Content-Transfer-Encoding: 8bit");
        put("");
        for (const auto& paragraph : paragraphs) {
            wrap(paragraph, 72);
            put("");
        }
        put("--" + inner);
        put("Content-Type: text/html; charset=utf-8");
        put("Content-Transfer-Encoding: 8bit");
        put("");
        put("<html><body>");
        for (const auto& paragraph : paragraphs) wrap("<p>" + paragraph + "</p>", 76);
        put("</body></html>");
        put("--" + inner + "--");
        if (attachment > 0) {
            put("--" + outer);
            put("Content-Type: application/octet-stream; name=\"attachment.bin\"");
            put("Content-Disposition: attachment; filename=\"attachment.bin\"");
            put("Content-Transfer-Encoding: base64");
            put("");
            base64(attachment, 76);
        }
        if (longLine > 0) {
            put("--" + outer);
            put("Content-Type: text/plain; charset=us-ascii");
            put("");
            std::string chunk;
            uint64_t left = longLine;
            while (left > 0) {
                chunk.clear();
                while (chunk.size() < (1 << 16) && chunk.size() < left) {
                    chunk += Pick(random_, kWords);
                    chunk += ' ';
                }
                if (chunk.size() > left) chunk.resize(static_cast<size_t>(left));
                out_.put(chunk);
                left -= chunk.size();
            }
            out_.put(eol_, std::strlen(eol_));
        }
        if (mixed) put("--" + outer + "--");
        put("");
    }

    unsigned count() const { return count_; }

  private:
    void put(const std::string& line) {
        out_.put(line);
        out_.put(eol_, std::strlen(eol_));
    }
    std::string person() { return Pick(random_, kNames); }
    std::string address(const std::string& name) {
        std::string local;
        for (char c : name) local += c == ' ' ? '.' : static_cast<char>(std::tolower(c));
        return local + "@" + Pick(random_, kDomains);
    }
    std::string boundary() {
        char text[40];
        std::snprintf(text, sizeof text, "=_%016" PRIx64, random_.next());
        return text;
    }
    std::string subject() {
        static const char* const kSubjects[] = {
            "Quarterly report",    "Re: meeting tomorrow", "Invoice 2024-117", "Fwd: travel plans",
            "Greetings From Rome", "Notes From the call",  "Budget draft",     "Re: Re: contract"};
        return Pick(random_, kSubjects);
    }
    std::vector<std::string> text() {
        std::vector<std::string> paragraphs;
        const uint64_t count = 1 + random_.below(6);
        for (uint64_t p = 0; p < count; ++p) {
            std::string paragraph;
            const uint64_t words = 10 + random_.below(120);
            for (uint64_t w = 0; w < words; ++w) {
                if (w) paragraph += ' ';
                paragraph += Pick(random_, kWords);
            }
            paragraphs.push_back(paragraph);
        }
        // The escape that keeps a body line from being a separator, and the word inside a line.
        if (random_.chance(0.05)) paragraphs.push_back(">From the archive: see below");
        if (random_.chance(0.05)) paragraphs.push_back("Sent From my phone");
        return paragraphs;
    }
    void wrap(const std::string& paragraph, size_t width) {
        size_t start = 0;
        while (start < paragraph.size()) {
            size_t end = std::min(paragraph.size(), start + width);
            if (end < paragraph.size()) {
                size_t blank = paragraph.rfind(' ', end);
                if (blank != std::string::npos && blank > start) end = blank;
            }
            put(paragraph.substr(start, end - start));
            start = end;
            while (start < paragraph.size() && paragraph[start] == ' ') ++start;
        }
    }
    void base64(uint64_t bytes, size_t width) {
        // bytes is the size of the encoded text; random 6-bit groups stand for random data.
        std::string line(width, 'A');
        uint64_t left = bytes;
        while (left > 0) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(width, left));
            line.resize(n);
            for (size_t i = 0; i < n; i += 8) {
                uint64_t bits = random_.next();
                for (size_t j = i; j < n && j < i + 8; ++j, bits >>= 6)
                    line[j] = kBase64[bits & 63];
            }
            put(line);
            left -= n;
        }
    }

    Output& out_;
    Random random_;
    double crlfShare_;
    const char* eol_ = "\n";
    unsigned count_ = 0;
};

[[noreturn]] void Usage() {
    std::fprintf(stderr,
                 "usage: quill-gen-mbox --size SIZE --out FILE [--seed N] [--crlf-share 0.3]\n"
                 "                      [--big-message SIZE] [--long-line SIZE]\n"
                 "SIZE: bytes, or a number with K, M or G\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t size = 0, seed = 1, bigMessage = 0, longLine = 0;
    double crlfShare = 0.3;
    const char* outPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) Usage();
        const char* value = argv[++i];
        if (arg == "--size")
            size = ParseSize(value);
        else if (arg == "--out")
            outPath = value;
        else if (arg == "--seed")
            seed = std::strtoull(value, nullptr, 10);
        else if (arg == "--crlf-share")
            crlfShare = std::strtod(value, nullptr);
        else if (arg == "--big-message")
            bigMessage = ParseSize(value);
        else if (arg == "--long-line")
            longLine = ParseSize(value);
        else
            Usage();
    }
    if (!outPath || size == 0) Usage();

    Output out(outPath);
    Generator generator(out, seed, crlfShare);
    Random plan(seed ^ 0x5EEDull);
    bool bigDone = bigMessage == 0, longDone = longLine == 0;
    while (out.size() < size || !bigDone || !longDone) {
        uint64_t attachment = 0, line = 0;
        // The special messages come once the mailbox is a third full, so that ordinary
        // messages stand on both sides of them.
        if (!bigDone && out.size() >= size / 3) {
            attachment = bigMessage;
            bigDone = true;
        } else if (!longDone && out.size() >= size / 2) {
            line = longLine;
            longDone = true;
        } else if (plan.chance(0.03)) {
            // Log-uniform from 100 KB to 5 MB, as attachment sizes spread in real mail.
            attachment = static_cast<uint64_t>(100e3 * std::exp(plan.unit() * std::log(50.0)));
        }
        generator.message(attachment, line);
    }
    out.close();
    std::printf("%u messages, %" PRIu64 " bytes written to %s\n", generator.count(), out.size(),
                outPath);
    return 0;
}
