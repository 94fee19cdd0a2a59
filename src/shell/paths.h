#pragma once
// Path helpers shared by the mailbox list and the conversion run. Qt-free.
// Paths are kept in the platform's native form ('/' on Linux, '\' on Windows).

#include <string>

namespace quill {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The text after the last separator: the whole path when it has none, the empty text
// when it ends in one, and the empty text for the empty path.
std::string FileNameOfPath(const std::string& path);

// Creates every missing folder of the path. True when the whole path exists as a folder
// afterwards (also when nothing had to be made); false when a part is a file, rights are
// missing or the drive does not exist.
bool EnsureFolderPath(const std::string& path);

// The path with one separator at its end (unchanged when it already has one).
std::string AddTrailingSeparator(const std::string& path);

}  // namespace quill
