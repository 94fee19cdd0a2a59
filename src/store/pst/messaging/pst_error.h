#pragma once
// The error the PST writer reports to its caller: what failed, and for a write on which file,
// at which offset and the system's reason (carried over from the node database's error).

#include <stdexcept>
#include <string>

namespace quill::store::pst::messaging {

class PstError : public std::runtime_error {
  public:
    enum class Kind {
        Write,           // the file could not be created, written or committed
        Closed,          // the store was used after close() or after a failed write
        NoSuchFolder,    // a FolderId this store did not hand out
        BadName,         // an empty folder name
        FolderFinished,  // a message for a folder declared finished
        BadMessage,      // a message the format cannot hold (a property of an unknown type ...)
        Format,          // a limit of the format reached (named-property map full ...)
    };
    PstError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

}  // namespace quill::store::pst::messaging
