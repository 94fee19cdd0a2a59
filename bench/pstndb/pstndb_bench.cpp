// Speed, commit cost and memory of the PST node database on a mailbox-shaped load: messages
// with a property context, a recipient table, a body and, every tenth one, an attachment,
// committed after every "mailbox". Compares the throughput with a plain sequential write of
// the same number of bytes on the same disk.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "store/pst/ndb/ndb.h"

using namespace quill::store::pst;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

quill::store::Bytes Filled(size_t size, uint32_t seed) {
    quill::store::Bytes b(size);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& c : b) {
        x = x * 1103515245u + 12345u;
        c = uint8_t(x >> 24);
    }
    return b;
}

long PeakRssKb() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    size_t messages = 30000;
    size_t perMailbox = 2000;
    std::filesystem::path dir = std::filesystem::temp_directory_path();
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--messages") messages = std::strtoull(argv[i + 1], nullptr, 10);
        if (a == "--per-mailbox") perMailbox = std::strtoull(argv[i + 1], nullptr, 10);
        if (a == "--dir") dir = argv[i + 1];
    }
    std::filesystem::path path = dir / "pstndb-bench.pst";
    std::filesystem::path plain = dir / "pstndb-bench.raw";

    // Content made once, reused: the bench measures the database, not the content.
    NodeContent pc{Filled(3000, 1), {}};
    quill::store::Bytes recipients = Filled(600, 2), body = Filled(12000, 3);
    quill::store::Bytes attachment = Filled(200000, 4), attachPc = Filled(400, 5);

    ndb::NdbOptions options;
    options.replaceExisting = true;
    auto start = Clock::now();
    auto writer = ndb::NdbWriter::create(path, options);
    uint64_t payload = 0;
    double maxCommit = 0, lastCommit = 0, totalCommit = 0;
    size_t lastTreePages = 0, lastMapPages = 0;
    size_t commits = 0;
    for (size_t m = 0; m < messages; ++m) {
        NodeContent msg = pc;
        msg.subnodes.push_back({0x692, {recipients, {}}});
        msg.subnodes.push_back({0x803F, {body, {}}});
        payload += pc.data.size() + recipients.size() + body.size();
        if (m % 10 == 0) {
            SubnodeContent att{0x8025, {attachPc, {}}};
            att.content.subnodes.push_back({0x805F, {attachment, {}}});
            msg.subnodes.push_back(std::move(att));
            msg.subnodes.push_back({0x671, {recipients, {}}});
            payload += attachPc.size() + attachment.size() + recipients.size();
        }
        writer->putNode(writer->allocateNid(0x04), 0x8082, msg);
        if ((m + 1) % perMailbox == 0) {
            auto c = Clock::now();
            writer->commit();
            lastCommit = Seconds(c);
            lastTreePages = writer->lastCommitStats().treePages;
            lastMapPages = writer->lastCommitStats().mapPages;
            maxCommit = std::max(maxCommit, lastCommit);
            totalCommit += lastCommit;
            ++commits;
        }
    }
    auto c = Clock::now();
    writer->close();
    double closeTime = Seconds(c);
    double elapsed = Seconds(start);
    uint64_t fileSize = std::filesystem::file_size(path);

    // The same number of bytes written plainly, 1 MiB at a time, then synced.
    auto p = Clock::now();
    int fd = ::open(plain.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<uint8_t> chunk(1 << 20, 0x5A);
    for (uint64_t done = 0; done < fileSize; done += chunk.size())
        if (::write(fd, chunk.data(), chunk.size()) < 0) return 1;
    ::fsync(fd);
    ::close(fd);
    double plainTime = Seconds(p);

    ndb::NdbReader reader(path);
    auto check = reader.check();
    std::printf("pstndb: %zu messages, %.1f MB of node data, file %.1f MB\n", messages,
                payload / 1e6, fileSize / 1e6);
    std::printf(
        "pstndb: write %.2f s (%.0f MB/s of file), plain write of the same size %.2f s, "
        "ratio %.2f\n",
        elapsed, fileSize / 1e6 / elapsed, plainTime, elapsed / plainTime);
    std::printf("pstndb: %zu commits, %.3f s in total, longest %.3f s, last %.3f s, close %.3f s\n",
                commits, totalCommit, maxCommit, lastCommit, closeTime);
    std::printf("pstndb: last commit wrote %zu B-tree pages and %zu AMap pages\n", lastTreePages,
                lastMapPages);
    std::printf("pstndb: peak memory %.1f MB\n", PeakRssKb() / 1024.0);
    std::printf("pstndb: check %s (%zu nodes, %zu blocks, NBT %zu levels, BBT %zu levels)\n",
                check.ok() ? "clean" : check.summary().c_str(), check.nodes, check.blocks,
                check.nbtLevels, check.bbtLevels);
    std::filesystem::remove(path);
    std::filesystem::remove(plain);
    return check.ok() ? 0 : 1;
}
