#pragma once
// The two values the mailbox reader shares with the conversion run. Each exists once in
// the program. The run sets SearchDone to false and empties FoundPositions before each
// mailbox; the reader sets SearchDone to true when a search step finds no further separator
// (or when it cannot search the file at all) and appends "offset|" for every separator.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quill {

inline bool SearchDone = false;
// Decimal byte offsets, each followed by "|": "0|2047|5120|".
inline std::string FoundPositions;

// The offsets of a FoundPositions text, in its order. Nothing (std::nullopt) when the text
// is not a list of decimal offsets each ended by "|"; the empty list for the empty text.
std::optional<std::vector<uint64_t>> SplitFoundPositions(std::string_view text);

}  // namespace quill
