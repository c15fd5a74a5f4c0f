#!/usr/bin/env python3
"""A mutation check: puts one small deliberate fault into the tool at a time,
builds the ci preset and runs the test suite against it, and counts the
faults the suite catches.

    mutation_check.py [--only SUBSTRING] [--list]

Each fault changes behaviour (none is a change no test could see): a check
turned off, a bound moved by one, a step left out. A fault is caught when a
test fails, the build's tests crash or time out; it survives when the whole
suite passes. The valgrind and manual-page tests are left out (they take
long and check other things). The tree is restored after each fault, and
rebuilt at the end. Needs a configured ci build (cmake --preset ci).
"""

import argparse
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (file, text as it stands, text with the fault, what the fault does)
MUTATIONS = [
    # The platform layer.
    ("src/surface/replace_posix.cpp", "return posix::FlushFileData(to) == 0 ? 0 : errno;",
     "return 0;", "an in-place write skips its data flush"),
    ("src/surface/replace_posix.cpp", "        posix::DiscardPending(temp.c_str());\n    } else {",
     "    } else {", "a copy across file systems is left when the output is written in place"),
    ("src/surface/temporaries_posix.cpp", "        return errno;\n    }\n    ForgetPending(path);",
     "        return errno;\n    }", "a deleted temporary stays pending"),
    ("src/surface/error_codes.cpp", "        case EPIPE:\n            return ERROR_BROKEN_PIPE;",
     "", "a broken pipe loses its code"),
    ("src/surface/bmp_loader.cpp",
     "knownLength ? std::uint64_t{1} << 30 : std::max<std::uint64_t>(size_, 1 << 16)",
     "knownLength ? std::uint64_t{1} << 30 : want",
     "a stream's buffer is reserved for all its headers promise"),
    ("src/bmp/bmp_writer.cpp", "if (!CloseHandle(file) && reason == ERROR_SUCCESS) {",
     "if (!CloseHandle(file) && reason == ERROR_SUCCESS + 1) {",
     "a failed close of the new file is ignored"),
    ("src/surface/files_posix.cpp", "if (file->writeThrough && file->regular && toWrite != 0 &&",
     "if (file->writeThrough && file->regular && toWrite == 0 &&",
     "a write-through write returns before its data are on the disk"),
    ("src/surface/files_posix.cpp", "SetLastError(errno == EBADF ? ERROR_ACCESS_DENIED : MapErrno(errno));",
     "SetLastError(MapErrno(errno));", "a write on a read handle gives another code"),
    ("src/surface/replace_posix.cpp", "bool inPlace = exists && (descriptor || existing.st_nlink > 1);",
     "bool inPlace = exists && (descriptor || existing.st_nlink > 2);",
     "a file with a second name is replaced, not written in place"),
    ("src/surface/replace_posix.cpp",
     "    if (exists && faccessat(dst.dir(), dst.leaf(), W_OK, AT_EACCESS) != 0) {\n        return errno;",
     "    if (exists && faccessat(dst.dir(), dst.leaf(), W_OK, AT_EACCESS) != 0 && false) {\n"
     "        return errno;", "an output the user may not write is replaced"),
    ("src/surface/replace_posix.cpp",
     "    if (const int err = ReserveRoom(out.get(), old.st_size, from.st_size); err != 0) {",
     "    if (const int err = ReserveRoom(out.get(), old.st_size, 0); err != 0) {",
     "an in-place write reserves no room first"),
    ("src/surface/replace_posix.cpp", "            } else if (exists && RenameRefusalWritingAvoids(err)) {",
     "            } else if (exists && RenameRefusalWritingAvoids(err) && false) {",
     "a busy output is not written in place"),
    ("src/surface/temporaries_posix.cpp",
     "O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);",
     "O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);",
     "a named temporary is readable by others"),
    ("src/surface/paths_posix.cpp", "            if (onProc) {\n                *descriptor = true;",
     "            if (onProc && false) {\n                *descriptor = true;",
     "standard output sent to a file is replaced, not written"),
    ("src/surface/bmp_loader.cpp", "        replay::Keep(path, file.release(), bytes.release(), size, ended);",
     "        (void)ended;\n        (void)size;", "a stream's bytes are lost for the second reading"),
    ("src/surface/sections.cpp", "if (!pixels::SuppliesEnough(asked * width, supplied)) {",
     "if (!pixels::SuppliesEnough(asked * width, supplied + asked * width)) {",
     "the transfer takes a stream that supplies no pixel"),
    ("src/surface/files_posix.cpp", "fd = posix::OpenAt(at.dir(), at.leaf(), flags, 0666);",
     "fd = posix::OpenAt(at.dir(), at.leaf(), flags | (writing ? 0 : O_NONBLOCK), 0666);",
     "a FIFO is read before its writer comes"),
    ("src/surface/heap_posix.cpp",
     "if (spare_ != nullptr && spare_->bytes >= bytes && spare_->bytes / 2 <= bytes) {",
     "if (spare_ != nullptr && spare_->bytes >= bytes / 2) {",
     "a kept block too small for a request serves it"),
    # The formats and the decoder.
    ("src/pixels/bmp_decode.cpp",
     "return static_cast<std::uint32_t>(rows) == height && SuppliesEnough(area, supplied)",
     "return static_cast<std::uint32_t>(rows) == height", "a stream of skips decodes"),
    ("src/pixels/row_codec.cpp", "            ++supplied_;\n", "",
     "the pixels a stream supplies are not counted"),
    ("src/pixels/pixel_supply.h", "return missing <= kFreeMissingPixels || missing <= supplied;",
     "return missing <= kFreeMissingPixels || missing < supplied;",
     "a file supplying half its picture is refused"),
    ("src/pixels/row_codec.cpp",
     "const std::uint64_t bottomRow = source.topDown ? start + count - 1 - i : start + i;",
     "const std::uint64_t bottomRow = source.topDown ? count - 1 - i : start + i;",
     "top-down rows from a first row above 0 drop it"),
    ("src/pixels/bmp_decode.cpp",
     "if (offBits < kFileHeaderSize + 4 || (fileSize && offBits >= *fileSize)) {",
     "if (offBits < kFileHeaderSize + 4) {", "the pixel offset is checked after the description"),
    ("src/pixels/dib_format.cpp", "if (h->planes != 1 ||", "if (h->planes > 2 ||",
     "two planes are accepted"),
    ("src/bmp/bmp_reader.cpp", "fh.bfOffBits <= kLargestPixelOffset", "fh.bfOffBits <= kLargestPixelOffset + 1",
     "an offset of 1079 passes the header test"),
    ("src/bmp/bmp_reader.cpp", "return SuppliesEnough(area, kRlePixelsPerByte * present);",
     "return true;", "the reader allocates for a compressed bomb"),
    # The command line and the numbers.
    ("src/cli/command_line.cpp", "'\\t'", "'\\v'", "a tab no longer separates arguments"),
    ("src/cli/angle_text.cpp", "4932", "4933", "an exponent of 4933 is taken as finite"),
    ("src/rotate/geometry.cpp", "((-hw) * s - hh * c) + cy, (hw * s - hh * c) + cy",
     "((-hw) * s - hh * c) + cy, (hw * s - hh * c) + cx",
     "the upper-right corner takes the wrong centre"),
    ("src/rotate/geometry.cpp", "std::fabs(angleDegrees) < 0x1p-1026", "std::fabs(angleDegrees) < 0x1p-1020",
     "a tiny angle above 2^-1026 is taken as a whole turn"),
    # These two guard against what this platform never gives the writer (a
    # bitmap of 9 to 15 bits, a transfer that enlarges biSizeImage); they
    # survive, and stand for a port that might.
    ("src/bmp/bmp_writer.cpp", "    if (depth > 8 && depth < 16) {", "    if (depth > 8 && depth < 15) {",
     "a 15-bit depth is written with a table it has no room for"),
    ("src/bmp/bmp_writer.cpp", "header.biSizeImage < pixelCapacity ? header.biSizeImage : pixelCapacity",
     "header.biSizeImage", "the pixel write trusts what the transfer left in the header"),
    # The transfer.
    ("src/resample/bspline5.cpp", "if (r >= count) {", "if (r > count) {",
     "the prefilter reads one row past the source"),
    ("src/resample/band_plan.cpp", "    if (e >= p.full) {", "    if (e > p.full) {",
     "a centre half a pixel inside an edge does not take its whole term"),
    ("src/resample/transfer.h", "inline constexpr std::int32_t kBandHorizon = 16;",
     "inline constexpr std::int32_t kBandHorizon = 4;",
     "a band's column recursions start four rows away"),
    ("src/resample/sampler.cpp", "sum[c] += wy[r] * std::clamp(h, -32768, 32767);",
     "sum[c] += wy[r] * std::clamp(h, -32767, 32767);",
     "the portable sampler saturates one level short"),
    ("src/resample/bspline5_lanes.h", "inline constexpr float kPoles[2] = {-0.430575347099973791851434783493520110f,",
     "inline constexpr float kPoles[2] = {-0.430575f,", "the first pole is cut to six digits"),
    # A horizon of 15 rows above instead of 16: its coefficients differ from
    # the 16-row ones by a small part of a unit, and no output byte of the
    # tests changes; it survives.
    ("src/resample/transfer.cpp", "        top = first - kTapsAbove - kBandHorizon;",
     "        top = first - kTapsAbove - kBandHorizon + 1;",
     "a band's buffer starts a row late"),
]


def run(command, **kwargs):
    return subprocess.run(command, cwd=ROOT, capture_output=True, text=True, **kwargs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", help="only the faults whose file or text holds this")
    parser.add_argument("--list", action="store_true", help="list the faults and stop")
    args = parser.parse_args()
    chosen = [m for m in MUTATIONS
              if not args.only or args.only in m[0] or args.only in m[3]]
    if args.list:
        for path, _, _, what in chosen:
            print("%s: %s" % (path, what))
        return 0
    caught, survived, broken = [], [], []
    for path, old, new, what in chosen:
        full = os.path.join(ROOT, path)
        with open(full) as f:
            text = f.read()
        if old not in text:
            broken.append("%s: %s (the text is no longer there)" % (path, what))
            continue
        try:
            with open(full, "w") as f:
                f.write(text.replace(old, new, 1))
            build = run(["cmake", "--build", "--preset", "ci"])
            if build.returncode != 0:
                broken.append("%s: %s (does not build)" % (path, what))
                continue
            tests = run(["ctest", "--preset", "ci", "-E", "valgrind|man_page", "--timeout", "180"])
            (caught if tests.returncode != 0 else survived).append("%s: %s" % (path, what))
            print("%s %s: %s" % ("caught  " if tests.returncode != 0 else "SURVIVED", path, what),
                  flush=True)
        finally:
            with open(full, "w") as f:
                f.write(text)
    run(["cmake", "--build", "--preset", "ci"])
    total = len(caught) + len(survived)
    print("mutation check: %d of %d faults caught (%.0f%%)" %
          (len(caught), total, 100.0 * len(caught) / max(total, 1)))
    for line in survived:
        print("  survived: " + line)
    for line in broken:
        print("  not run: " + line)
    return 0 if not survived else 1


if __name__ == "__main__":
    sys.exit(main())
