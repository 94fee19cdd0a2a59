#pragma once

#include <optional>
#include <string>

namespace quill {

// The four kinds of output, chosen with the window's option buttons.
enum class OutputKind { None, EML, EMLX, PST, MSG };

// ".eml" for EML, PST and MSG (for the last two an intermediate file), ".emlx" for EMLX.
inline const char* MessageFileExtension(OutputKind kind) {
    return kind == OutputKind::EMLX ? ".emlx" : ".eml";
}

// "eml", "emlx", "pst", "msg" and back; nothing for other words.
std::optional<OutputKind> OutputKindFromName(const std::string& name);
const char* OutputKindName(OutputKind kind);

}  // namespace quill
