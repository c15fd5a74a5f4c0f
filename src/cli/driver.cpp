#include "cli/driver.h"

#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
#include "cli/angle_text.h"
#include "rotate/rotate.h"
#include "surface/platform.h"

namespace veerpic {

using namespace platform;

int RunVeerpic(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    if (argc != 4) {
        std::fputs("ERROR: invalid arguments\n", err);
        std::fflush(err);
        std::fputs("Usage: veerpic ANGLE input.bmp output.bmp\n", out);
        return kExitUsage;
    }
    const char* angleText = argv[1];
    const char* inputPath = argv[2];
    const char* outputPath = argv[3];

    HBITMAP source = LoadBitmapFile(inputPath);
    if (source == nullptr) {
        std::fprintf(err, "ERROR: cannot open file '%s'\n", inputPath);
        return kExitFileError;
    }

    const double angle = ParseAngleText(angleText);
    HBITMAP rotated = RotateBitmap(source, angle);

    const int code = SaveBitmapFile(outputPath, rotated) ? kExitOk : kExitFileError;
    if (code != kExitOk) {
        std::fprintf(err, "ERROR: cannot write file '%s'\n", outputPath);
    }
    DeleteObject(source);
    DeleteObject(rotated);
    return code;
}

}  // namespace veerpic
