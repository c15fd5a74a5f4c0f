#include "cli/console_windows.h"

#include <io.h>
#include <windows.h>

#include <new>

namespace veerpic {

std::wstring ConsoleText(std::string_view text, unsigned codePage) {
    std::wstring out;
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = std::min(text.find('\n', from), text.size());
        const auto piece = text.substr(from, end - from);
        if (!piece.empty()) {
            const int count = ::MultiByteToWideChar(codePage, 0, piece.data(),
                                                    static_cast<int>(piece.size()), nullptr, 0);
            const std::size_t at = out.size();
            out.resize(at + static_cast<std::size_t>(count));
            ::MultiByteToWideChar(codePage, 0, piece.data(), static_cast<int>(piece.size()),
                                  out.data() + at, count);
        }
        if (end < text.size()) {
            out += L"\r\n";
        }
        from = end + 1;
    }
    return out;
}

void WriteConsoleLine(std::FILE* stream, const char* line) {
    const auto console = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    DWORD mode = 0;
    if (console != INVALID_HANDLE_VALUE && ::GetConsoleMode(console, &mode)) {
        try {
            const std::wstring text = ConsoleText(line, ::GetACP());
            std::fflush(stream);
            DWORD written = 0;
            if (::WriteConsoleW(console, text.data(), static_cast<DWORD>(text.size()), &written,
                                nullptr)) {
                return;
            }
        } catch (const std::bad_alloc&) {
        }
    }
    std::fputs(line, stream);
}

}  // namespace veerpic
