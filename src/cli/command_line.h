// Cutting a single command-line string into the argument list, for
// platforms that hand a program its command line as one string.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace veerpic {

// Tells whether a byte is the lead byte of a double-byte character in the
// current code page; the byte after it is then part of the same character.
using LeadByteTest = bool (*)(unsigned char byte);

// Splits `line` into the program's name followed by its arguments: runs of
// spaces and tabs separate arguments; a double quote opens a stretch, ended by
// the next double quote, in which spaces and tabs are kept (the quotes are
// dropped); a backslash directly before a double quote puts a double quote
// into the argument; every other byte, backslashes, '*' and '?' included, is
// kept as it is. A lead byte takes the byte after it along unexamined.
std::vector<std::string> SplitCommandLine(std::string_view line, LeadByteTest isLeadByte);

}  // namespace veerpic
