// Writes a store with one folder of many small messages (the contents table then spans many
// heap blocks and matrix blocks) and prints the time and peak memory it took.
//   pst_store_bench OUT.pst [messages] [folders] [attachment MB]
// With an attachment size, the first message of the first folder carries an attachment
// "big.bin" of that many megabytes (byte k = k * 7 mod 256).

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "store/pst/messaging/messaging.h"

using namespace quill::store;
using namespace quill::store::pst::messaging;

static Message SmallMessage(int i) {
    Message m;
    m.props.set(PidTagMessageClass, std::string("IPM.Note"));
    m.props.set(PidTagSubject, "Message number " + std::to_string(i));
    m.props.set(PidTagClientSubmitTime, FileTime{133800000000000000ULL + uint64_t(i) * 10000000});
    m.props.set(PidTagMessageDeliveryTime,
                FileTime{133800000000000000ULL + uint64_t(i) * 10000000});
    m.props.set(PidTagSentRepresentingName, std::string("Sender ") + std::to_string(i % 100));
    m.props.set(PidTagSentRepresentingEmailAddress,
                "sender" + std::to_string(i % 100) + "@example.org");
    m.props.set(PidTagDisplayTo, std::string("Receiver"));
    m.props.set(PidTagBody, "Body of message " + std::to_string(i) + "\r\n");
    m.props.set(PidTagMessageFlags, int32_t(MSGFLAG_READ));
    Recipient r;
    r.props.set(PidTagDisplayName, std::string("Receiver"));
    r.props.set(PidTagEmailAddress, std::string("receiver@example.org"));
    m.recipients.push_back(std::move(r));
    return m;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT.pst [messages] [folders]\n", argv[0]);
        return 2;
    }
    int messages = argc > 2 ? std::atoi(argv[2]) : 70000;
    int folders = argc > 3 ? std::atoi(argv[3]) : 1;
    size_t attachmentBytes = argc > 4 ? size_t(std::atoi(argv[4])) << 20 : 0;
    auto start = std::chrono::steady_clock::now();
    std::filesystem::remove(argv[1]);
    auto store = PstStore::create(argv[1], "Benchmark");
    for (int f = 0; f < folders; ++f) {
        FolderId id = store->addFolder("Folder " + std::to_string(f));
        for (int i = 0; i < messages; ++i) {
            Message m = SmallMessage(i);
            if (f == 0 && i == 0 && attachmentBytes != 0) {
                Attachment a;
                a.props.set(PidTagAttachLongFilename, std::string("big.bin"));
                a.data.resize(attachmentBytes);
                for (size_t k = 0; k < a.data.size(); ++k) a.data[k] = uint8_t(k * 7);
                m.attachments.push_back(std::move(a));
            }
            store->addMessage(id, m);
        }
        store->finishFolder(id);  // as the conversion run does after each mailbox
        store->commit();
    }
    store->close();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%d folder(s) x %d messages: %.2f s, %.0f messages/s, %.1f MB file, peak %ld MB\n",
                folders, messages, seconds, folders * messages / seconds,
                std::filesystem::file_size(argv[1]) / 1e6, usage.ru_maxrss / 1024);
}
