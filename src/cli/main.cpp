// veerpic ANGLE input.bmp output.bmp
#include <cstdio>

#include "cli/driver.h"

int main(int argc, char** argv) {
    return veerpic::RunVeerpic(argc, argv, stdout, stderr);
}
