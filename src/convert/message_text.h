#pragma once
// The text of a message file made from the bytes of one message of a mailbox, block by
// block, without files, windows or clocks (shared by the message files and the fuzzer).
//
// Every line end of the mailbox (CR LF, a lone CR, a lone LF) becomes CR LF, and a last
// line without a line end gains one; blanks at the start of the text are dropped; one more
// CR LF ends the file. Every other byte passes unchanged: no header is added or changed, no
// "From " line is removed and no ">From " escape is undone.

#include <cstddef>
#include <cstdint>
#include <string>

namespace quill {

class MessageText {
  public:
    // Appends to out the text for the next n bytes of the message; out grows by at most 2n.
    void feed(const char* data, size_t n, std::string& out);
    // Appends the end of the file: CR LF after a last line without a line end, then CR LF.
    void finish(std::string& out);

    // Length of the message's text so far, every line with its CR LF, before the blanks at
    // its start are dropped: what the "Saving: " caption counts.
    uint64_t textLength() const { return textLength_; }

  private:
    bool atStart_ = true;    // only blanks (or nothing) seen so far
    bool afterCr_ = false;   // the last byte was a CR, whose CR LF is already written
    bool lineOpen_ = false;  // bytes since the last line end
    uint64_t textLength_ = 0;
};

// The first CR or LF in [p, end), or end when there is none.
const char* FindLineEnd(const char* p, const char* end);

// The whole message file for the bytes of one message, at once: the reference for tests.
std::string MessageFileText(const std::string& messageBytes);

}  // namespace quill
