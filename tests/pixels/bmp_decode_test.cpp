// Decoding BMP files from their bytes: as files of known length and as
// streams, OS/2 tables cut short, and refusals of what does not add up.
#include "pixels/bmp_decode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "pixels/image.h"
#include "support/test_support.h"

namespace {

using namespace veerpic::pixels;
using veerpic_test::Bytes;
using veerpic_test::PutU16;
using veerpic_test::PutU32;

// Decodes `file`, judged with `length`; the picture, or nothing on refusal.
std::optional<Image> Decode(const Bytes& file, std::optional<std::uint64_t> length, Status* why) {
    BmpLayout layout;
    *why = InspectBmp(file, length, &layout);
    if (*why != Status::kOk) {
        return std::nullopt;
    }
    Image image;
    EXPECT_EQ(image.Allocate(layout.format), Status::kOk);
    const std::size_t end = static_cast<std::size_t>(
        std::min<std::uint64_t>(file.size(), layout.pixelOffset + layout.pixelBytes));
    *why = DecodeBmpPixels(
        layout,
        std::span<const std::uint8_t>(file).subspan(layout.pixelOffset, end - layout.pixelOffset),
        image.View());
    if (*why != Status::kOk) {
        return std::nullopt;
    }
    return image;
}

// A 16-byte OS/2 header whose colour table holds 3 of its 16 four-byte
// entries: the rest are black, and the pixels start right after the three.
TEST(BmpDecode, ShortOs2TableOfFourByteEntries) {
    Bytes file;
    PutU16(file, 0x4D42);
    PutU32(file, 0);
    PutU32(file, 0);
    PutU32(file, 14 + 16 + 3 * 4);
    PutU32(file, 16);
    PutU32(file, 2);  // width
    PutU32(file, 1);  // height
    PutU16(file, 1);
    PutU16(file, 4);
    for (std::uint32_t c : {0x102030u, 0x405060u, 0x708090u}) {
        PutU32(file, c);
    }
    file.insert(file.end(), {0x21, 0, 0, 0});  // pixels 2 and 1
    for (const auto length :
         {std::optional<std::uint64_t>(file.size()), std::optional<std::uint64_t>()}) {
        Status why = Status::kOk;
        const std::optional<Image> image = Decode(file, length, &why);
        ASSERT_TRUE(image) << static_cast<int>(why);
        EXPECT_EQ(image->format.colorCount, 16u);
        EXPECT_EQ(image->format.colors[2].rgbRed, 0x70);
        EXPECT_EQ(image->format.colors[1].rgbBlue, 0x60);
        EXPECT_EQ(image->format.colors[3].rgbGreen, 0);
        EXPECT_EQ(image->bits[0], 0x21);
    }
}

Bytes Uncompressed24(std::int32_t width, std::int32_t height) {
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
    Bytes pixels(stride * static_cast<std::size_t>(height));
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<std::uint8_t>(i * 13);
    }
    return veerpic_test::MakeBmp(width, height, 24, {}, pixels);
}

// A stream of unknown length decodes to the same picture as the file.
TEST(BmpDecode, StreamGivesTheFilesPicture) {
    const Bytes file = Uncompressed24(5, 3);
    Status why = Status::kOk;
    const std::optional<Image> asFile = Decode(file, file.size(), &why);
    const std::optional<Image> asStream = Decode(file, std::nullopt, &why);
    ASSERT_TRUE(asFile && asStream);
    EXPECT_EQ(asFile->bits, asStream->bits);
}

struct RefusalCase {
    const char* name;
    Bytes file;
    Status why;
};

TEST(BmpDecode, RefusesWhatDoesNotAddUp) {
    Bytes cut = Uncompressed24(5, 3);
    cut.resize(cut.size() - 1);
    // An RLE8 picture of 11580 x 11580 from a stream of two bytes.
    Bytes rle = veerpic_test::MakeBmp(11580, 11580, 8, std::vector<std::uint32_t>(256), {0, 1}, 1);
    Bytes signature = Uncompressed24(2, 2);
    signature[0] = 'M';
    const RefusalCase cases[] = {
        {"rows missing", cut, Status::kInvalidData},
        {"rle far too short", rle, Status::kInvalidData},
        {"no signature", signature, Status::kInvalidData},
        {"headers cut", Bytes(cut.begin(), cut.begin() + 30), Status::kInvalidData},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto length :
             {std::optional<std::uint64_t>(c.file.size()), std::optional<std::uint64_t>()}) {
            Status why = Status::kOk;
            EXPECT_FALSE(Decode(c.file, length, &why));
            EXPECT_EQ(why, c.why);
        }
    }
}

}  // namespace
