#pragma once
// quillmere-convert: converts mailboxes from the command line with the window's run.
//
//   quillmere-convert --to eml|emlx|msg|pst --output DIR [--tree] [--any-name] [--quiet] PATH...
//
// Exit status 0 when every mailbox was converted, 1 when any failed or held no message, 2 for
// a usage error.

#include <iosfwd>
#include <string>
#include <vector>

#include "convert/run.h"

namespace quill {

struct CliStreams {
    std::ostream& out;
    std::ostream& err;
    bool errIsTerminal = false;
};

int RunCli(const std::vector<std::string>& args, CliStreams streams,
           const RunSettings& settings = {});

}  // namespace quill
