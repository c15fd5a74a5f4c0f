// The driver's lines on a Windows console: the bytes of a line are in the
// process's code page, which a console showing its own (OEM) code page would
// turn into other characters; a console is therefore given the characters
// themselves, and a file or pipe the bytes as they came.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace veerpic {

// `text`, bytes in code page `codePage`, as UTF-16 for a console: bytes that
// are no character of the code page become U+FFFD, and each "\n" "\r\n".
std::wstring ConsoleText(std::string_view text, unsigned codePage);

// Writes `line` to `stream`: as characters where the stream is a console,
// otherwise as its bytes (text mode ending it with CR LF). The console's own
// code page is never changed.
void WriteConsoleLine(std::FILE* stream, const char* line);

}  // namespace veerpic
