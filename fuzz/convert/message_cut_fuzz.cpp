// The message cutter: the text made block by block against the line-by-line rule, the shape
// of every message file (CR LF line ends only, an empty last line), and the whole path
// through real files for a mailbox with arbitrary (also unordered or out-of-range) offsets.
//
// Input: eight bytes seeding the block sizes, then the mailbox.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "convert/message_text.h"
#include "convert/messagefile.h"
#include "reader/separator_scan.h"

namespace {

uint64_t Next(uint64_t& state) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
}

void Check(bool ok) {
    if (!ok) std::abort();
}

bool OnlyCrLfLineEnds(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
    }
    return true;
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class NullFrontend : public quill::Frontend {
  public:
    quill::MsgAnswer messageBox(const std::string&, quill::MsgButtons, quill::MsgIcon,
                                const std::string&) override {
        return quill::MsgAnswer::Ok;
    }
    void beep() override {}
    void setCaption(quill::Caption, const std::string&) override {}
    void setBar(quill::Bar, double) override {}
    std::string browseFolder(const std::string&) override { return {}; }
    void yieldNow() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    uint64_t state;
    std::memcpy(&state, data, 8);
    const std::string mailbox(reinterpret_cast<const char*>(data + 8), size - 8);
    std::vector<uint64_t> positions = quill::FindSeparatorsSimple(mailbox, "From ");

    for (size_t k = 0; k < positions.size(); ++k) {
        const uint64_t end = k + 1 < positions.size() ? positions[k + 1] : mailbox.size();
        const std::string message = mailbox.substr(positions[k], end - positions[k]);
        const std::string expected = quill::MessageFileText(message);
        quill::MessageText text;
        std::string out;
        for (size_t pos = 0; pos < message.size();) {
            size_t n = std::min<size_t>(1 + Next(state) % 32, message.size() - pos);
            text.feed(message.data() + pos, n, out);
            pos += n;
        }
        text.finish(out);
        Check(out == expected);
        Check(OnlyCrLfLineEnds(out));
        Check(out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0);
        Check(out.compare(0, 5, "From ") == 0);
    }

    // Through files, with offsets that need not be separators at all.
    // Made and removed for every input, so that nothing stays behind however the run ends.
    static const std::filesystem::path dir =
        (std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                             : std::filesystem::temp_directory_path()) /
        ("quill-fuzz-cut-" + std::to_string(::getpid()));
    if (Next(state) % 4 == 0) {
        positions.clear();
        for (int i = 0, n = static_cast<int>(Next(state) % 6); i < n; ++i)
            positions.push_back(Next(state) % (mailbox.size() + 8));
    }
    if (positions.empty() || positions.size() > 16) return 0;
    std::filesystem::create_directories(dir / "out");
    const std::string path = (dir / "in.mbox").string();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << mailbox;
    NullFrontend frontend;
    quill::YieldClock clock(frontend);
    auto result = quill::WriteMessageFiles(clock, path, positions, (dir / "out").string(), ".eml");
    // A message that starts at or past the end of the file, or whose successor does, is a
    // failure; the messages before it are written whole, nothing after it.
    size_t fits = 0;
    while (fits < positions.size() && positions[fits] < mailbox.size() &&
           (fits + 1 == positions.size() || positions[fits + 1] <= mailbox.size()))
        ++fits;
    Check(result.written == fits);
    Check(fits == positions.size() ? result.ok() : result.error.has_value());
    for (size_t k = 0; k < positions.size(); ++k) {
        const auto file = dir / "out" / ("Email-" + std::to_string(k) + ".eml");
        if (k >= fits) {
            Check(!std::filesystem::exists(file));
            continue;
        }
        const uint64_t start = positions[k];
        const uint64_t next = k + 1 < positions.size() ? positions[k + 1] : mailbox.size();
        const uint64_t end = std::max(start, next);
        Check(ReadAll(file) == quill::MessageFileText(mailbox.substr(start, end - start)));
    }
    for (const auto& e : std::filesystem::directory_iterator(dir / "out"))
        Check(e.path().extension() == ".eml");
    std::filesystem::remove_all(dir);
    return 0;
}
