// veerpic ANGLE input.bmp output.bmp, on POSIX systems: the arguments arrive
// already split and are taken as delivered.
#include <cstdio>

#include "cli/driver.h"

int main(int argc, char** argv) {
    return veerpic::RunVeerpic(argc, argv, stdout, stderr);
}
