#include "cli/driver.h"

#include <new>
#include <string>

#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
#include "cli/angle_text.h"
#include "rotate/rotate.h"
#include "surface/platform.h"

namespace veerpic {

using namespace platform;

namespace {

void PutBytes(std::FILE* stream, const char* line) {
    std::fputs(line, stream);
}

// Writes the message that begins with `before` and names `path`, as one line
// through `write`. Where the line cannot be put together, its parts go out
// one after another, the same bytes.
void Say(LineWriter write, std::FILE* stream, const char* before, const char* path) {
    try {
        write(stream, (std::string(before) + path + "'\n").c_str());
    } catch (const std::bad_alloc&) {
        std::fputs(before, stream);
        std::fputs(path, stream);
        std::fputs("'\n", stream);
    }
}

}  // namespace

int RunVeerpic(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
               LineWriter write) {
    if (write == nullptr) {
        write = PutBytes;
    }
    if (argc != 4) {
        write(err, "ERROR: invalid arguments\n");
        std::fflush(err);
        write(out, "Usage: veerpic ANGLE input.bmp output.bmp\n");
        return kExitUsage;
    }
    const char* angleText = argv[1];
    const char* inputPath = argv[2];
    const char* outputPath = argv[3];

    HBITMAP source = LoadBitmapFile(inputPath);
    if (source == nullptr) {
        Say(write, err, "ERROR: cannot open file '", inputPath);
        return kExitFileError;
    }

    const double angle = ParseAngleText(angleText);
    HBITMAP rotated = RotateBitmap(source, angle);

    const int code = SaveBitmapFile(outputPath, rotated) ? kExitOk : kExitFileError;
    if (code != kExitOk) {
        Say(write, err, "ERROR: cannot write file '", outputPath);
    }
    DeleteObject(source);
    DeleteObject(rotated);
    return code;
}

}  // namespace veerpic
