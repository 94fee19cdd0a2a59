#pragma once
// .msg files written by helper processes: the program started again with kMsgHelperArgument
// serves conversions (one message file in, one .msg file out) asked for over a socket.
//
// Why processes: parsing a message and writing a compound file make thousands of GLib
// objects per message, and GLib's object system takes process-wide locks for each; threads
// doing this at once spend more time contending for those locks than working (two threads
// finish later than one), while processes share nothing and scale with the cores.
//
// A helper that ends unexpectedly fails the message it was converting, with the cause; a
// program that cannot be started, or does not introduce itself as a helper of this kind,
// leaves the conversion to this process. Qt-free, POSIX.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "convert/messagefile.h"

namespace quill {

// The argument that makes the program a helper (the only argument it is then given).
inline constexpr const char* kMsgHelperArgument = "--msg-helper";

// A conversion's outcome: nothing on success, else the cause in words for the user.
using HelperError = std::optional<std::string>;

// Converts message file `file` (whose content is `bytes` when not null) into the .msg file
// `target`; `stop` says the run ends.
using MsgConversion =
    std::function<HelperError(const std::string& file, const MessageBytes& bytes,
                              const std::string& target, const std::atomic<bool>& stop)>;

// The helper's side: answers every conversion asked for on `socket` with `convert` until
// the other side closes it. SIGUSR1 stops the conversion under way (and all that follow).
// Returns the process's exit code.
int ServeMsgConversions(int socket, const MsgConversion& convert);

// The run's side: helper processes of `program`, started when first needed, one per
// conversion under way, ended when the pool goes.
class MsgHelperPool {
  public:
    explicit MsgHelperPool(std::string program);
    ~MsgHelperPool();
    MsgHelperPool(const MsgHelperPool&) = delete;
    MsgHelperPool& operator=(const MsgHelperPool&) = delete;

    // Converts on a helper of its own for this call; `inProcess` does it here instead when
    // no helper can be started. Safe to call from several threads at once.
    HelperError convert(const std::string& file, const MessageBytes& bytes,
                        const std::string& target, const std::atomic<bool>& stop,
                        const std::function<HelperError()>& inProcess);

  private:
    class Helper;
    std::string program_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Helper>> idle_;
    bool cannotStart_ = false;  // the program could not be started: convert here
};

}  // namespace quill
