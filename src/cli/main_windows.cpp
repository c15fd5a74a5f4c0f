// veerpic ANGLE input.bmp output.bmp, on Windows: the platform hands the
// program one command-line string, in the process's code page (UTF-8, as the
// manifest asks, where the system honours it), which is cut into the
// argument list the driver takes; the messages reach a console as characters.
#include <windows.h>

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/console_windows.h"
#include "cli/driver.h"

namespace {

// A lead byte of the process's code page; none in UTF-8, which has no
// double-byte characters.
bool IsLeadByte(unsigned char byte) {
    return ::IsDBCSLeadByteEx(::GetACP(), byte) != 0;
}

}  // namespace

int main() {
    try {
        const std::vector<std::string> args =
            veerpic::SplitCommandLine(::GetCommandLineA(), IsLeadByte);
        std::vector<const char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(arg.c_str());
        }
        argv.push_back(nullptr);
        return veerpic::RunVeerpic(static_cast<int>(args.size()), argv.data(), stdout, stderr,
                                   veerpic::WriteConsoleLine);
    } catch (const std::bad_alloc&) {
        // Not even the argument list could be had: no file was touched.
        std::fputs("ERROR: invalid arguments\n", stderr);
        return veerpic::kExitUsage;
    }
}
