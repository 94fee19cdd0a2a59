#include "shell/paths.h"

#include <filesystem>
#include <system_error>

namespace quill {

std::string FileNameOfPath(const std::string& path) {
    auto pos = path.find_last_of(kPathSeparator);
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

bool EnsureFolderPath(const std::string& path) {
    if (path.empty()) return false;
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path folder(path);
    fs::create_directories(folder, ec);
    // create_directories reports success for an existing folder but also returns false
    // without an error in some races; what counts is whether the folder is there now.
    return fs::is_directory(folder, ec);
}

std::string AddTrailingSeparator(const std::string& path) {
    if (!path.empty() && path.back() == kPathSeparator) return path;
    return path + kPathSeparator;
}

}  // namespace quill
