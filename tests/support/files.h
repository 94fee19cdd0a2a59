#pragma once
// Whole files in and out, for tests.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace quill::testing {

inline std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Makes the file's folders too.
inline void WriteFile(const std::filesystem::path& p, const std::string& bytes) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

}  // namespace quill::testing
