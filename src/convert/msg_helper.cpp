#include "convert/msg_helper.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>

extern char** environ;

namespace quill {

namespace {

// A request: three lengths, then the message file's path, the .msg file's path and the
// message file's content when the run still has it (length 0: read the file).
// A reply: whether it failed, the length of the cause, the cause.
constexpr uint32_t kMaxPathBytes = 1u << 16;
constexpr uint32_t kMaxCauseBytes = 1u << 20;
constexpr uint32_t kMaxContentBytes = 1u << 30;
// How often a conversion under way looks whether the run still wants it.
constexpr int kStopPollMs = 20;
// A helper told to stop that has not answered after this long is ended.
constexpr auto kStopPatience = std::chrono::seconds(10);
// What a helper says first, so that a program that is not one (or another version of this
// one) is never sent work.
constexpr char kHello[4] = {'Q', 'M', 'H', '2'};
constexpr int kHelloTimeoutMs = 10000;

bool WriteAll(int fd, const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, at, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// False at the end of the stream or on an error, also part way.
bool ReadAll(int fd, void* data, size_t size) {
    char* at = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = ::read(fd, at, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::atomic<bool> gStopRequested{false};

extern "C" void OnStopRequest(int) {
    gStopRequested.store(true);
}

std::string DescribeEnd(int status) {
    if (WIFSIGNALED(status))
        return "was ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
               ::strsignal(WTERMSIG(status)) + ")";
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "ended";
}

}  // namespace

int ServeMsgConversions(int socket, const MsgConversion& convert) {
    // Only the program itself starts a helper, with a socket as its input.
    struct stat input {};
    if (::fstat(socket, &input) != 0 || !S_ISSOCK(input.st_mode)) {
        std::fprintf(stderr, "%s is for the program's own use\n", kMsgHelperArgument);
        return 2;
    }
    if (!WriteAll(socket, kHello, sizeof kHello)) return 2;
    struct sigaction action {};
    action.sa_handler = OnStopRequest;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGUSR1, &action, nullptr);

    for (;;) {
        uint32_t lengths[3];
        if (!ReadAll(socket, lengths, sizeof lengths)) return 0;  // the run is done with us
        if (lengths[0] > kMaxPathBytes || lengths[1] > kMaxPathBytes ||
            lengths[2] > kMaxContentBytes)
            return 2;
        std::string file(lengths[0], '\0');
        std::string target(lengths[1], '\0');
        std::string content(lengths[2], '\0');
        if (!ReadAll(socket, file.data(), file.size()) ||
            !ReadAll(socket, target.data(), target.size()) ||
            !ReadAll(socket, content.data(), content.size()))
            return 2;
        MessageBytes bytes;
        if (!content.empty()) bytes = std::make_shared<const std::string>(std::move(content));
        HelperError error;
        try {
            error = convert(file, bytes, target, gStopRequested);
        } catch (const std::exception& e) {
            error = "Could not write the message file " + target + ": " + e.what();
        }
        const uint8_t failed = error ? 1 : 0;
        const std::string cause = error ? error->substr(0, kMaxCauseBytes) : std::string();
        const auto causeLength = static_cast<uint32_t>(cause.size());
        if (!WriteAll(socket, &failed, 1) || !WriteAll(socket, &causeLength, 4) ||
            !WriteAll(socket, cause.data(), cause.size()))
            return 2;
    }
}

// One helper process and its end of the socket.
class MsgHelperPool::Helper {
  public:
    // Nothing, with `error` set to the system's error number, when it cannot be started.
    static std::unique_ptr<Helper> Start(const std::string& program, int& error) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            error = errno;
            return nullptr;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGUSR1);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        std::string argument = kMsgHelperArgument;
        char* argv[] = {const_cast<char*>(program.c_str()), argument.data(), nullptr};
        pid_t pid = 0;
        error = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(ends[1]);
        if (error != 0) {
            ::close(ends[0]);
            return nullptr;
        }
        auto helper = std::unique_ptr<Helper>(new Helper(pid, ends[0]));
        if (!helper->greeted()) {
            ::kill(pid, SIGKILL);
            error = EPROTO;
            return nullptr;
        }
        return helper;
    }

    ~Helper() {
        if (socket_ >= 0) ::close(socket_);  // the helper sees the end and exits
        if (!reaped_) reap(std::chrono::seconds(5));
    }

    bool ended() const { return socket_ < 0; }

    HelperError convert(const std::string& file, const MessageBytes& bytes,
                        const std::string& target, const std::atomic<bool>& stop) {
        if (stop) return "stopped at the user's request";
        if (file.size() > kMaxPathBytes || target.size() > kMaxPathBytes)
            return "The path of message file " + file + " is too long";
        // Content the helper could not take whole is left for it to read from the file.
        const std::string_view content = bytes && bytes->size() <= kMaxContentBytes
                                             ? std::string_view(*bytes)
                                             : std::string_view();
        const uint32_t lengths[3] = {static_cast<uint32_t>(file.size()),
                                     static_cast<uint32_t>(target.size()),
                                     static_cast<uint32_t>(content.size())};
        if (!WriteAll(socket_, lengths, sizeof lengths) ||
            !WriteAll(socket_, file.data(), file.size()) ||
            !WriteAll(socket_, target.data(), target.size()) ||
            !WriteAll(socket_, content.data(), content.size()))
            return endedWhile(file, target);
        // Waits for the reply, telling the helper once when the run no longer wants it, and
        // ending it when it does not answer that in good time.
        std::optional<std::chrono::steady_clock::time_point> told;
        for (;;) {
            pollfd ready{socket_, POLLIN, 0};
            const int n = ::poll(&ready, 1, kStopPollMs);
            if (n < 0 && errno != EINTR) return endedWhile(file, target);
            if (n > 0) break;
            if (stop && !told) {
                ::kill(pid_, SIGUSR1);
                told = std::chrono::steady_clock::now();
            } else if (told && std::chrono::steady_clock::now() - *told > kStopPatience) {
                ::kill(pid_, SIGKILL);
            }
        }
        uint8_t failed = 0;
        uint32_t causeLength = 0;
        if (!ReadAll(socket_, &failed, 1) || !ReadAll(socket_, &causeLength, 4) ||
            causeLength > kMaxCauseBytes)
            return endedWhile(file, target);
        std::string cause(causeLength, '\0');
        if (!ReadAll(socket_, cause.data(), cause.size())) return endedWhile(file, target);
        if (failed) return cause;
        return std::nullopt;
    }

  private:
    Helper(pid_t pid, int socket) : pid_(pid), socket_(socket) {}

    // Whether the process introduced itself as a helper of this program's kind.
    bool greeted() {
        pollfd ready{socket_, POLLIN, 0};
        int n;
        do {
            n = ::poll(&ready, 1, kHelloTimeoutMs);
        } while (n < 0 && errno == EINTR);
        char hello[sizeof kHello];
        return n > 0 && ReadAll(socket_, hello, sizeof hello) &&
               std::memcmp(hello, kHello, sizeof hello) == 0;
    }

    // Waits for the process to end, ending it after `patience`; its exit status.
    int reap(std::chrono::milliseconds patience) {
        int status = 0;
        const auto until = std::chrono::steady_clock::now() + patience;
        for (;;) {
            pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_ || (done < 0 && errno != EINTR)) break;
            if (std::chrono::steady_clock::now() >= until) {
                ::kill(pid_, SIGKILL);
                while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        reaped_ = true;
        return status;
    }

    // The helper went away mid-conversion. The message file may be partly written over by
    // then, so it is removed rather than left to look like a whole message; the message is
    // still in its mailbox.
    HelperError endedWhile(const std::string& file, const std::string& target) {
        ::close(socket_);
        socket_ = -1;
        const int status = reap(std::chrono::seconds(5));
        std::error_code ec;
        std::filesystem::remove(file, ec);
        return "The .msg conversion helper " + DescribeEnd(status) +
               " while converting message file " + file + " to " + target;
    }

    pid_t pid_;
    int socket_;
    bool reaped_ = false;
};

MsgHelperPool::MsgHelperPool(std::string program) : program_(std::move(program)) {}

MsgHelperPool::~MsgHelperPool() = default;

HelperError MsgHelperPool::convert(const std::string& file, const MessageBytes& bytes,
                                   const std::string& target, const std::atomic<bool>& stop,
                                   const std::function<HelperError()>& inProcess) {
    std::unique_ptr<Helper> helper;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cannotStart_) return inProcess();
        if (!idle_.empty()) {
            helper = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    if (!helper) {
        int error = 0;
        helper = Helper::Start(program_, error);
        if (!helper) {
            std::lock_guard<std::mutex> lock(mutex_);
            cannotStart_ = true;
        }
    }
    if (!helper) return inProcess();
    HelperError result = helper->convert(file, bytes, target, stop);
    if (!helper->ended()) {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_.push_back(std::move(helper));
    }
    return result;
}

}  // namespace quill
