// veerpic ANGLE input.bmp output.bmp, on Windows: the platform hands the
// program one command-line string, which is cut into the argument list the
// driver takes.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/driver.h"

int main() {
    const std::vector<std::string> args = veerpic::SplitCommandLine(
        GetCommandLineA(), [](unsigned char lead) { return IsDBCSLeadByte(lead) != 0; });
    std::vector<const char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    return veerpic::RunVeerpic(static_cast<int>(args.size()), argv.data(), stdout, stderr);
}
