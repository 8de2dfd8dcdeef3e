#include "config/fil.h"

#include <cstring>
#include <string>
#include <vector>

#include "util/utrace.h"

namespace {

struct FilState {
  std::string fileBuffer;        ///< the last line read, shared by every open file
  int fileBufferSize = 0;        ///< its capacity without the terminator
  std::vector<int> lineCounts;   ///< lines read, one count per open file, innermost last
};

FilState state;

constexpr int kInitialBufferSize = 1024;
constexpr int kBufferGrowth = 512;
constexpr const char* kWhiteSpace = " \t\r\n\v\f";

}  // namespace

void filInit() {
  state = FilState{};
  state.fileBufferSize = kInitialBufferSize;
  state.fileBuffer.reserve(kInitialBufferSize + 1);
}

void filTerm() { state = FilState{}; }

FILE* filOpenFile(const char* path, const char* mode, bool checkAccess) {
  if (checkAccess && !filIsFileAccessCorrect(path)) return nullptr;
  FILE* stream = std::fopen(path, mode);
  if (stream != nullptr) state.lineCounts.push_back(0);
  return stream;
}

bool filIsFileAccessCorrect(const char* /*path*/) { return true; }

// Reads up to the newline whatever the line's length, so that a long line is
// never split into two; the buffer grows in steps of 512 to hold it. Reading
// character by character also works on streams that cannot seek.
const char* filReadLineFromFile(FILE* stream) {
  std::string& line = state.fileBuffer;
  line.clear();
  int c = EOF;
  bool readAny = false;
  while ((c = std::getc(stream)) != EOF) {
    readAny = true;
    if (c == '\n') break;
    line.push_back(static_cast<char>(c));
  }
  if (!readAny || (c == EOF && std::ferror(stream))) return nullptr;
  while (state.fileBufferSize < static_cast<int>(line.size()) + 2) state.fileBufferSize += kBufferGrowth;
  if (!state.lineCounts.empty()) ++state.lineCounts.back();
  // Configuration text is C text: a NUL byte ends the line's text.
  if (std::strlen(line.c_str()) != line.size()) {
    ut_tproda("Ignoring the text after a NUL byte on line %d", filGetCurrentLineNumber());
  }
  return line.c_str();
}

// A significant line: not empty, not only white space, and not a comment,
// which is a line whose first non-blank character is '#'. There are no
// end-of-line comments, quoting or continuation lines.
const char* filReadNextLineFromFile(FILE* stream) {
  while (const char* read = filReadLineFromFile(stream)) {
    std::string& line = state.fileBuffer;
    line.resize(std::strlen(read));
    std::size_t first = line.find_first_not_of(kWhiteSpace);
    if (first == std::string::npos || line[first] == '#') continue;
    line.erase(line.find_last_not_of(kWhiteSpace) + 1);
    return line.c_str() + first;
  }
  return nullptr;
}

int filGetCurrentLineNumber() { return state.lineCounts.empty() ? 0 : state.lineCounts.back(); }

int filCloseFile(FILE* stream) {
  if (!state.lineCounts.empty()) state.lineCounts.pop_back();
  return std::fclose(stream);
}

int filGetBufferSize() { return state.fileBufferSize; }
