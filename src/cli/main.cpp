#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <iostream>

#include "cli/cli.h"
#include "convert/store_outputs.h"
#include "shell/paths.h"

namespace {

// The manual beside the program, in the installed documentation folder, or in the source
// tree when run from the build.
std::string ManualPath() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        for (fs::path candidate :
             {exe.parent_path() / "manual.html",
              exe.parent_path().parent_path() / "share/doc/quillmere/manual.html"})
            if (fs::exists(candidate, ec)) return candidate.string();
    }
    return std::string(QUILL_SOURCE_DIR) + "/docs/manual.html";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::cout << "quillmere " QUILL_VERSION "\n";
        return 0;
    }
    // A write past the file-size limit (ulimit -f) then fails with EFBIG and is reported like
    // any other write failure, instead of the signal ending the program mid-run.
    std::signal(SIGXFSZ, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    quill::CliStreams streams{std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1};
    return quill::RunCli(args, streams, quill::DefaultRunSettings(ManualPath()));
}
