// Time to write realistic messages as Outlook .msg files.
//
// Usage: quill_msg_bench [COUNT] [FOLDER]
// Builds a pool of varied messages (bodies of a few KB, HTML, several recipients, a third
// with attachments from 20 KB to 2 MB, some forwarded messages) and writes COUNT files
// Email-<k>.msg into FOLDER, then the same content as plain files (what an .eml export
// writes, roughly) for comparison. Prints messages/s, MB/s and the ratio of the two.
//
// Then the part the compound file alone takes, whatever the writer around it does: the CPU
// time of laying out and producing in memory compound files with as many entries as a
// typical message's .msg file has (44: 36 streams and storages of the message, 8 of each
// recipient), and that cost per message times the number of messages of a mailbox.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "store/msg/cfb_writer.h"
#include "store/msg/msg_writer.h"

using namespace quill::store;
namespace fs = std::filesystem;

namespace {

std::string Words(std::mt19937& rng, size_t bytes) {
    static const char* words[] = {"the",    "quarterly", "figures", "are",     "attached", "please",
                                  "review", "before",    "Friday",  "meeting", "Grüße",    "budget",
                                  "Отчёт",  "報告",      "and",     "regards"};
    std::string out;
    while (out.size() < bytes) {
        out += words[rng() % 16];
        out += (rng() % 12 == 0) ? "\r\n" : " ";
    }
    return out;
}

Bytes Data(std::mt19937& rng, size_t size) {
    Bytes out(size);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

std::unique_ptr<Message> MakeMessage(std::mt19937& rng, int k, bool allowForward) {
    auto m = std::make_unique<Message>();
    PropertyBag& p = m->props;
    p.set(PidTagMessageClass, std::string("IPM.Note"));
    std::string subject = "Re: Project status week " + std::to_string(k) + " – Überblick";
    p.set(PidTagSubject, subject);
    p.set(PidTagSubjectPrefix, std::string("Re: "));
    p.set(PidTagNormalizedSubject, subject.substr(4));
    p.set(PidTagConversationTopic, subject.substr(4));
    p.set(PidTagSenderName, std::string("Ann Sender"));
    p.set(PidTagSenderEmailAddress, std::string("ann@example.com"));
    p.set(PidTagSenderAddressType, std::string("SMTP"));
    p.set(PidTagSentRepresentingName, std::string("Ann Sender"));
    p.set(PidTagSentRepresentingEmailAddress, std::string("ann@example.com"));
    p.set(PidTagSentRepresentingAddressType, std::string("SMTP"));
    p.set(PidTagClientSubmitTime, FileTime{133000000000000000ull + uint64_t(k) * 600000000ull});
    p.set(PidTagMessageDeliveryTime, FileTime{133000000000000000ull + uint64_t(k) * 600000000ull});
    p.set(PidTagInternetMessageId, "<" + std::to_string(k) + ".bench@example.com>");
    p.set(PidTagTransportMessageHeaders,
          "Received: from mx.example.com by mail.example.org; "
          "Tue, 5 Dec 2023 10:00:00 +0000\r\nSubject: " +
              subject + "\r\nFrom: Ann Sender <ann@example.com>\r\n");
    std::string plain = Words(rng, 2000 + rng() % 18000);
    p.set(PidTagBody, plain);
    std::string html = "<html><body><p>" + plain + "</p></body></html>";
    p.set(PidTagHtml, Bytes(html.begin(), html.end()));
    p.set(PidTagInternetCodepage, int32_t(65001));
    p.set(PidTagMessageFlags, MSGFLAG_READ);
    std::string to;
    int recipients = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < recipients; ++i) {
        Recipient r;
        std::string name = "Colleague " + std::to_string(i);
        r.props.set(PidTagRecipientType, i < 3 ? MAPI_TO : MAPI_CC);
        r.props.set(PidTagDisplayName, name);
        r.props.set(PidTagEmailAddress, "colleague" + std::to_string(i) + "@example.org");
        r.props.set(PidTagSmtpAddress, "colleague" + std::to_string(i) + "@example.org");
        r.props.set(PidTagAddressType, std::string("SMTP"));
        m->recipients.push_back(std::move(r));
        if (i < 3) to += (to.empty() ? "" : "; ") + name;
    }
    p.set(PidTagDisplayTo, to);
    if (rng() % 3 == 0) {
        int count = 1 + static_cast<int>(rng() % 2);
        for (int i = 0; i < count; ++i) {
            Attachment a;
            size_t size = 20000 + (rng() % 10 == 0 ? rng() % 2000000 : rng() % 300000);
            std::string name = "report-" + std::to_string(k) + "-" + std::to_string(i) + ".pdf";
            a.props.set(PidTagAttachMethod, ATTACH_BY_VALUE);
            a.props.set(PidTagAttachLongFilename, name);
            a.props.set(PidTagDisplayName, name);
            a.props.set(PidTagAttachMimeTag, std::string("application/pdf"));
            a.data = Data(rng, size);
            m->attachments.push_back(std::move(a));
        }
    }
    if (allowForward && rng() % 20 == 0) {
        Attachment a;
        a.embedded = MakeMessage(rng, k + 100000, false);
        a.props.set(PidTagDisplayName, std::string("Forwarded message"));
        m->attachments.push_back(std::move(a));
    }
    if (!m->attachments.empty()) p.set(PidTagMessageFlags, MSGFLAG_READ | MSGFLAG_HASATTACH);
    return m;
}

void AppendContent(const Message& m, std::string& out) {
    for (const auto& [tag, v] : m.props.tagged()) {
        if (const auto* s = std::get_if<std::string>(&v)) out += *s;
        if (const auto* b = std::get_if<Bytes>(&v)) out.append(b->begin(), b->end());
    }
    for (const auto& a : m.attachments) {
        out.append(a.data.begin(), a.data.end());
        if (a.embedded) AppendContent(*a.embedded, out);
    }
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// User and system CPU time of this process: steadier than wall time on a shared machine,
// where the disk's write-back of earlier files lands on whatever runs next.
double CpuSeconds() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The part of CpuSeconds() spent in the kernel.
double SystemSeconds() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

}  // namespace

// CPU seconds per compound file of `entries` small streams, made in memory.
double CompoundFileCpu(int entries, int files) {
    struct Memory : msg::CompoundFile::Sink {
        Bytes bytes;
        void write(const uint8_t* data, size_t size) override {
            bytes.insert(bytes.end(), data, data + size);
        }
    };
    const std::string data(100, 'x');
    const double cpu = CpuSeconds();
    for (int i = 0; i < files; ++i) {
        msg::CompoundFile file;
        for (int e = 0; e < entries; ++e) {
            char name[32];
            std::snprintf(name, sizeof name, "__substg1.0_%04X001F", 0x1000 + e);
            file.addStream(msg::CompoundFile::kRoot, name,
                           reinterpret_cast<const uint8_t*>(data.data()), data.size());
        }
        Memory sink;
        sink.bytes.reserve(file.fileSize());
        file.writeTo(sink);
    }
    return (CpuSeconds() - cpu) / files;
}

// Writes `count` files Email-<k>.msg into `folder`, the messages of `pool` in turn.
bool WriteMsgFiles(const std::vector<std::unique_ptr<Message>>& pool, int count,
                   const fs::path& folder) {
    for (int k = 0; k < count; ++k) {
        fs::path file = folder / ("Email-" + std::to_string(k) + ".msg");
        auto r = msg::WriteMsgFile(*pool[k % pool.size()], file);
        if (!r.ok()) {
            std::fprintf(stderr, "%s\n", r.error.c_str());
            return false;
        }
    }
    return true;
}

// Bytes of the files in `folder`, measured after the timing, which they would otherwise
// burden with a stat() each that the plain files do not have.
uint64_t FolderBytes(const fs::path& folder) {
    uint64_t bytes = 0;
    for (const auto& e : fs::directory_iterator(folder)) bytes += e.file_size();
    return bytes;
}

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    fs::path folder = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "quill-msg-bench";
    fs::create_directories(folder);

    std::mt19937 rng(42);
    std::vector<std::unique_ptr<Message>> pool;
    for (int i = 0; i < 64; ++i) pool.push_back(MakeMessage(rng, i, true));

    uint64_t msgBytes = 0;
    double cpu = CpuSeconds();
    auto start = std::chrono::steady_clock::now();
    if (!WriteMsgFiles(pool, count, folder)) return 1;
    double msgSeconds = Seconds(std::chrono::steady_clock::now() - start);
    double msgCpu = CpuSeconds() - cpu;
    msgBytes = FolderBytes(folder);

    std::vector<std::string> flat(pool.size());
    for (size_t i = 0; i < pool.size(); ++i) AppendContent(*pool[i], flat[i]);
    uint64_t flatBytes = 0;
    cpu = CpuSeconds();
    start = std::chrono::steady_clock::now();
    for (int k = 0; k < count; ++k) {
        const std::string& content = flat[k % flat.size()];
        std::ofstream out(folder / ("Email-" + std::to_string(k) + ".eml"), std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        flatBytes += content.size();
    }
    double flatSeconds = Seconds(std::chrono::steady_clock::now() - start);
    double flatCpu = CpuSeconds() - cpu;

    std::printf("msg writer: %d messages, %.1f MB of .msg files in %.2f s\n", count, msgBytes / 1e6,
                msgSeconds);
    std::printf("  %.0f messages/s, %.1f MB/s; CPU %.2f s (%.0f messages per CPU second)\n",
                count / msgSeconds, msgBytes / 1e6 / msgSeconds, msgCpu, count / msgCpu);
    std::printf("plain files of the same content: %.1f MB in %.2f s (%.1f MB/s), CPU %.2f s\n",
                flatBytes / 1e6, flatSeconds, flatBytes / 1e6 / flatSeconds, flatCpu);
    std::printf("  .msg / plain files: %.2f wall time, %.2f CPU time\n", msgSeconds / flatSeconds,
                msgCpu / flatCpu);
    fs::remove_all(folder);

    // Small typical messages: those of the pool without attachments (text and HTML bodies,
    // recipients, headers), as most of a mailbox is.
    std::vector<std::unique_ptr<Message>> small;
    for (auto& m : pool)
        if (m->attachments.empty()) small.push_back(std::move(m));
    fs::create_directories(folder);
    uint64_t smallBytes = 0;
    cpu = CpuSeconds();
    double sys = SystemSeconds();
    start = std::chrono::steady_clock::now();
    if (!WriteMsgFiles(small, count, folder)) return 1;
    double smallSeconds = Seconds(std::chrono::steady_clock::now() - start);
    double smallCpu = CpuSeconds() - cpu;
    double smallSys = SystemSeconds() - sys;
    smallBytes = FolderBytes(folder);
    std::printf(
        "small messages (no attachment): %d files, %.1f KB each, %.0f files/s, %.0f files per "
        "CPU second (%.1f us user, %.1f us system per file)\n",
        count, smallBytes / 1e3 / count, count / smallSeconds, count / smallCpu,
        (smallCpu - smallSys) / count * 1e6, smallSys / count * 1e6);
    // The floor the file system sets: files of the same sizes, each made with one write().
    std::vector<uint64_t> sizes;
    for (const auto& e : fs::directory_iterator(folder)) sizes.push_back(e.file_size());
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string blob(*std::max_element(sizes.begin(), sizes.end()), 'x');
    cpu = CpuSeconds();
    start = std::chrono::steady_clock::now();
    for (size_t k = 0; k < sizes.size(); ++k) {
        std::ofstream out(folder / ("Email-" + std::to_string(k) + ".msg"), std::ios::binary);
        out.write(blob.data(), static_cast<std::streamsize>(sizes[k]));
    }
    std::printf("  plain files of the same sizes: %.0f files/s, %.0f files per CPU second\n",
                sizes.size() / Seconds(std::chrono::steady_clock::now() - start),
                sizes.size() / (CpuSeconds() - cpu));
    fs::remove_all(folder);

    const double perFile = CompoundFileCpu(44, 5000);
    std::printf(
        "compound file alone, 44 entries per file, in memory: %.1f us of CPU per "
        "file, %.2f CPU s for 24985 messages (the 1 GB benchmark mailbox)\n",
        perFile * 1e6, perFile * 24985);
    return 0;
}
