#pragma once
// Sizes that the store writers and the runs feeding them agree on.

#include <cstdint>

namespace quill::store {

// A message up to this size is handled whole in memory: a store run takes it from the cut's
// own bytes and writes no message file for it, a message file of this size is read back with
// one read, and a .msg file of this size is laid out whole and written at once. Larger ones
// go through files in bounded pieces. Most of a mailbox's bytes are in messages below it.
inline constexpr uint64_t kInMemoryLimit = uint64_t{8} << 20;

}  // namespace quill::store
