#include "cli/command_line.h"

namespace veerpic {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line, LeadByteTest isLeadByte) {
    std::vector<std::string> args;
    std::size_t pos = 0;
    const std::size_t end = line.size();
    auto isLead = [&](std::size_t at) {
        return isLeadByte != nullptr && at + 1 < end &&
               isLeadByte(static_cast<unsigned char>(line[at]));
    };

    while (pos < end && IsBlank(line[pos])) {
        ++pos;
    }
    // The program's name: a quoted name runs to the closing quote, a bare one
    // to the next space or tab.
    std::string name;
    if (pos < end && line[pos] == '"') {
        ++pos;
        while (pos < end && line[pos] != '"') {
            const std::size_t take = isLead(pos) ? 2 : 1;
            name.append(line.substr(pos, take));
            pos += take;
        }
        if (pos < end) {
            ++pos;
        }
    } else {
        while (pos < end && !IsBlank(line[pos])) {
            const std::size_t take = isLead(pos) ? 2 : 1;
            name.append(line.substr(pos, take));
            pos += take;
        }
    }
    args.push_back(std::move(name));

    for (;;) {
        while (pos < end && IsBlank(line[pos])) {
            ++pos;
        }
        if (pos >= end) {
            break;
        }
        std::string arg;
        bool quoted = false;
        while (pos < end) {
            const char c = line[pos];
            if (!quoted && IsBlank(c)) {
                break;
            }
            if (c == '\\' && pos + 1 < end && line[pos + 1] == '"') {
                arg.push_back('"');
                pos += 2;
            } else if (c == '"') {
                quoted = !quoted;
                ++pos;
            } else if (isLead(pos)) {
                arg.append(line.substr(pos, 2));
                pos += 2;
            } else {
                arg.push_back(c);
                ++pos;
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

}  // namespace veerpic
