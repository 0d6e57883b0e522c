// The line rule every reader of text images shares, and the scan that the
// prescans of both text formats run over a whole file.
//
// A line ends at a line feed, at a carriage return and line feed pair, or at
// a carriage return that no line feed follows. Which of these a record may
// end with is the loader's business; the prescan and the loader split lines
// the same way, so they see the same records.
#pragma once

#include <functional>

namespace porten {

inline constexpr int kScanWindow = 512;

// The first line end (carriage return or line feed) in [p, end), or end.
template <typename Char>
Char* FindLineEnd(Char* p, const char* end) {
  while (p < end && *p != '\n' && *p != '\r') ++p;
  return p;
}

// Reads up to max characters from fd; short only at the end of the file.
// -1 when the file fails: that must not pass for its end, or a truncated
// image would load as complete.
int ReadFull(int fd, char* to, int max);

// Calls visit(line, available) at every line start of the file open at fd,
// reading it in kScanWindow-byte pieces: at the start of the file and after
// every line end. At least `lookahead` (at most kScanWindow) characters of
// the line lie at `line`, fewer only at the end of the file; `available`
// says how many. The file is rewound to its start on return. A failed read
// counts as the end of the file.
void ForEachLineStart(int fd, int lookahead, const std::function<void(const char* line, int available)>& visit);

}  // namespace porten
