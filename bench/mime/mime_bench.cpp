// quill-mime-bench: measures the MIME import.
//
//   quill-mime-bench corpus DIR COUNT     writes COUNT message files of a realistic mix to DIR
//   quill-mime-bench import-all DIR       imports every file of DIR, prints messages/s and MB/s,
//                                         then CPU per message importing them from memory
//   quill-mime-bench make-big FILE MB     writes one message with an MB-megabyte attachment
//   quill-mime-bench import FILE          imports one file, prints time and peak memory
//
// Message files look like the conversion run writes them: an mbox "From " line, then the
// message, every line ending in CR LF.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "store/mime/import.h"

namespace fs = std::filesystem;
using quill::store::mime::ImportMessageFile;

namespace {

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Base64 of `n` pseudo-random bytes in 76-character lines.
std::string Base64Lines(std::mt19937& rng, size_t n) {
    std::string out;
    out.reserve(n * 4 / 3 + n / 57 * 2 + 8);
    size_t col = 0;
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = rng() & 0xFFFFFF;
        size_t chunk = std::min<size_t>(3, n - i);
        out += kB64[(v >> 18) & 63];
        out += kB64[(v >> 12) & 63];
        out += chunk > 1 ? kB64[(v >> 6) & 63] : '=';
        out += chunk > 2 ? kB64[v & 63] : '=';
        col += 4;
        if (col == 76) {
            out += "\r\n";
            col = 0;
        }
    }
    if (col != 0) out += "\r\n";
    return out;
}

std::string Words(std::mt19937& rng, size_t bytes) {
    static const char* words[] = {"the",      "quarterly", "figures", "meeting", "Käse",
                                  "project",  "deadline",  "review",  "naïve",   "budget",
                                  "schedule", "and",       "with",    "report",  "attached",
                                  "please",   "thanks",    "regards"};
    std::string out;
    size_t col = 0;
    while (out.size() < bytes) {
        const char* w = words[rng() % std::size(words)];
        out += w;
        col += std::strlen(w) + 1;
        if (col > 70) {
            out += "\r\n";
            col = 0;
        } else {
            out += ' ';
        }
    }
    return out + "\r\n";
}

std::string Headers(std::mt19937& rng, int i, const std::string& contentType) {
    std::string h =
        "From sender" + std::to_string(i % 50) + "@example.org Sat Dec  5 09:07:03 2026\r\n";
    for (int r = 0; r < 4; ++r)
        h += "Received: from relay" + std::to_string(r) + ".example.net (relay" +
             std::to_string(r) + ".example.net [192.0.2." + std::to_string(r + 1) +
             "])\r\n\tby mx.example.com with ESMTPS id " + std::to_string(rng()) +
             "\r\n\tfor <bob@example.com>; Sat, 5 Dec 2026 09:0" + std::to_string(r) +
             ":03 +0100\r\n";
    h += "DKIM-Signature: v=1; a=rsa-sha256; d=example.org; s=sel; h=from:to:subject:date;\r\n"
         "\tbh=" +
         Base64Lines(rng, 32).substr(0, 44) + ";\r\n\tb=" + Base64Lines(rng, 128).substr(0, 76) +
         "\r\n";
    h += "From: =?UTF-8?Q?J=C3=BCrgen_Gro=C3=9F?= <sender" + std::to_string(i % 50) +
         "@example.org>\r\n";
    h += "To: Bob <bob@example.com>, Carol <carol@example.com>\r\n";
    if (i % 3 == 0) h += "Cc: Team <team@example.com>\r\n";
    h += "Subject: " + std::string(i % 4 == 0 ? "Re: " : "") +
         "=?ISO-8859-1?Q?Quartalsbericht_f=FCr_Q" + std::to_string(i % 4 + 1) + "?=\r\n";
    h += "Date: Sat, 5 Dec 2026 09:07:03 +0100\r\n";
    h += "Message-ID: <msg" + std::to_string(i) + "@example.org>\r\n";
    if (i % 4 == 0) h += "In-Reply-To: <msg" + std::to_string(i - 1) + "@example.org>\r\n";
    h += "MIME-Version: 1.0\r\nContent-Type: " + contentType + "\r\n";
    return h;
}

std::string Message(std::mt19937& rng, int i) {
    const int kind = i % 20;
    if (kind < 8) {  // plain text
        return Headers(rng, i, "text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit") +
               "\r\n" + Words(rng, 1000 + rng() % 3000);
    }
    if (kind < 13) {  // plain and HTML
        std::string text = Words(rng, 2000 + rng() % 6000);
        return Headers(rng, i, "multipart/alternative; boundary=\"alt\"") +
               "\r\n--alt\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + text +
               "--alt\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body><p>" + text +
               "</p></body></html>\r\n--alt--\r\n";
    }
    if (kind < 16) {  // HTML with an inline image
        return Headers(rng, i, "multipart/related; boundary=\"rel\"") +
               "\r\n--rel\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body><img "
               "src=\"cid:img1\"><p>" +
               Words(rng, 3000) +
               "</p></body></html>\r\n--rel\r\n"
               "Content-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n"
               "Content-ID: <img1>\r\n\r\n" +
               Base64Lines(rng, 20000) + "--rel--\r\n";
    }
    std::string attachment =
        "Content-Type: application/pdf; name=\"report.pdf\"\r\nContent-Transfer-Encoding: "
        "base64\r\nContent-Disposition: attachment; filename=\"report.pdf\"\r\n\r\n" +
        Base64Lines(rng, 50000 + rng() % 250000);
    if (kind < 19) {  // text with an attachment
        return Headers(rng, i, "multipart/mixed; boundary=\"mix\"") +
               "\r\n--mix\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + Words(rng, 1500) +
               "--mix\r\n" + attachment + "--mix--\r\n";
    }
    // A forwarded message with its own attachment.
    return Headers(rng, i, "multipart/mixed; boundary=\"out\"") +
           "\r\n--out\r\nContent-Type: text/plain\r\n\r\nForwarded.\r\n--out\r\n"
           "Content-Type: message/rfc822\r\n\r\nFrom: a@example.net\r\nTo: b@example.org\r\n"
           "Subject: inner\r\nDate: Fri, 4 Dec 2026 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"in\"\r\n\r\n--in\r\nContent-Type: "
           "text/plain\r\n\r\n" +
           Words(rng, 800) + "--in\r\n" + attachment +
           "--in--\r\n\r\n"
           "--out--\r\n";
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double UserCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6;
}

long PeakRssMb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: quill-mime-bench corpus DIR COUNT | import-all DIR | make-big FILE MB | "
                 "import FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const std::string mode = argv[1];
    if (mode == "corpus" && argc == 4) {
        fs::create_directories(argv[2]);
        std::mt19937 rng(42);
        const int count = std::atoi(argv[3]);
        for (int i = 0; i < count; ++i) {
            std::ofstream out(fs::path(argv[2]) / ("Email-" + std::to_string(i) + ".eml"),
                              std::ios::binary);
            out << Message(rng, i) << "\r\n";
        }
        return 0;
    }
    if (mode == "import-all") {
        std::vector<fs::path> files;
        uint64_t bytes = 0;
        for (const auto& e : fs::directory_iterator(argv[2]))
            if (e.is_regular_file()) {
                files.push_back(e.path());
                bytes += e.file_size();
            }
        auto start = std::chrono::steady_clock::now();
        size_t attachments = 0;
        for (const auto& f : files) attachments += ImportMessageFile(f).message.attachments.size();
        double s = Seconds(start);
        std::printf(
            "%zu messages, %.1f MB, %zu attachments in %.2f s: %.0f messages/s, %.1f MB/s\n",
            files.size(), bytes / 1e6, attachments, s, files.size() / s, bytes / 1e6 / s);
        // The conversion run reads small message files whole and imports them from memory:
        // the same files that way, in CPU time, which other work on the machine disturbs less.
        std::vector<std::vector<uint8_t>> contents;
        for (const auto& f : files) {
            std::ifstream in(f, std::ios::binary);
            contents.emplace_back(std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>());
        }
        const double cpuStart = UserCpuSeconds();
        for (const auto& c : contents) quill::store::mime::ImportMessageBuffer(c);
        const double cpu = UserCpuSeconds() - cpuStart;
        std::printf(
            "the same from memory: %.1f us of user CPU per message, %.0f messages per "
            "CPU second\n",
            cpu / files.size() * 1e6, files.size() / cpu);
        return 0;
    }
    if (mode == "make-big" && argc == 4) {
        std::mt19937 rng(7);
        const uint64_t megabytes = std::strtoull(argv[3], nullptr, 10);
        std::ofstream out(argv[2], std::ios::binary);
        out << Headers(rng, 1, "multipart/mixed; boundary=\"big\"")
            << "\r\n--big\r\nContent-Type: text/plain\r\n\r\nThe archive.\r\n--big\r\n"
               "Content-Type: application/octet-stream; name=\"archive.bin\"\r\n"
               "Content-Transfer-Encoding: base64\r\n"
               "Content-Disposition: attachment; filename=\"archive.bin\"\r\n\r\n";
        // Chunks of a multiple of 3 bytes, so that padding can only come at the very end.
        constexpr uint64_t kChunk = 3u << 18;
        for (uint64_t left = megabytes << 20; left > 0;) {
            uint64_t n = std::min(left, kChunk);
            out << Base64Lines(rng, n);
            left -= n;
        }
        out << "--big--\r\n\r\n";
        return out ? 0 : 1;
    }
    if (mode == "import") {
        auto start = std::chrono::steady_clock::now();
        auto result = ImportMessageFile(argv[2]);
        double s = Seconds(start);
        uint64_t data = 0;
        for (const auto& a : result.message.attachments) data += a.data.size();
        std::printf(
            "imported %s: attachment data %.1f MB in %.2f s, peak memory %ld MB "
            "(attachment + %ld MB)\n",
            fs::path(argv[2]).filename().c_str(), data / 1048576.0, s, PeakRssMb(),
            PeakRssMb() - static_cast<long>(data / 1048576));
        return 0;
    }
    return Usage();
}
