// veerpic ANGLE input.bmp output.bmp
#include <cstdio>

#include "cli/driver.h"

#if defined(_WIN32)
#include <windows.h>

#include <string>
#include <vector>

#include "cli/command_line.h"

// The platform hands the program one command-line string: cut it into the
// argument list the driver takes.
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
#else
// The arguments arrive already split; they are taken as delivered.
int main(int argc, char** argv) {
    return veerpic::RunVeerpic(argc, argv, stdout, stderr);
}
#endif
