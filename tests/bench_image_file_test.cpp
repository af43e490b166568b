#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include "tools/common/image_file.h"
#include "tools/common/output.h"

using namespace vantrel;

namespace {

// Odd sizes and a gradient, so swapped axes or channels change the bytes.
constexpr uint32_t width = 7;
constexpr uint32_t height = 5;

std::vector<uint8_t> testPattern() {
    std::vector<uint8_t> rgb(width * height * 3);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* pixel = &rgb[(y * width + x) * 3];
            pixel[0] = static_cast<uint8_t>(x * 30);
            pixel[1] = static_cast<uint8_t>(y * 50);
            pixel[2] = static_cast<uint8_t>(255 - x - y);
        }
    return rgb;
}

std::string scratchPath(const char* suffix) {
    return testing::TempDir() + "bench_image_" + std::to_string(getpid()) + suffix;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(file)) != EOF)
            bytes.push_back(static_cast<uint8_t>(c));
        std::fclose(file);
    }
    return bytes;
}

} // namespace

TEST(ImageFile, FormatFollowsTheExtensionInAnyCase) {
    ImageFormat format = ImageFormat::Ppm;
    ASSERT_TRUE(imageFormatForPath("out/frame.PnG", format));
    EXPECT_EQ(format, ImageFormat::Png);
    ASSERT_TRUE(imageFormatForPath("FRAME.PPM", format));
    EXPECT_EQ(format, ImageFormat::Ppm);
    EXPECT_FALSE(imageFormatForPath("frame.png.txt", format));
    EXPECT_FALSE(imageFormatForPath("png", format));
}

TEST(ImageFile, PpmIsBinaryP6WithThePixelsTopRowFirst) {
    const std::vector<uint8_t> rgb = testPattern();
    const std::string path = scratchPath(".ppm");
    ASSERT_TRUE(writeImage(path.c_str(), ImageFormat::Ppm, rgb.data(), width, height));
    const std::vector<uint8_t> bytes = readFile(path);
    std::remove(path.c_str());

    const std::string header = "P6\n7 5\n255\n";
    ASSERT_EQ(bytes.size(), header.size() + rgb.size());
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + header.size()), header);
    EXPECT_TRUE(std::equal(rgb.begin(), rgb.end(), bytes.begin() + header.size()));
}

TEST(ImageFile, PngReadsBackAsTheSameRgbPixels) {
    const std::vector<uint8_t> rgb = testPattern();
    const std::string path = scratchPath(".png");
    ASSERT_TRUE(writeImage(path.c_str(), ImageFormat::Png, rgb.data(), width, height));

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0) << image.message;
    EXPECT_EQ(image.width, width);
    EXPECT_EQ(image.height, height);
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> decoded(PNG_IMAGE_SIZE(image));
    ASSERT_NE(png_image_finish_read(&image, nullptr, decoded.data(), 0, nullptr), 0)
        << image.message;
    std::remove(path.c_str());
    EXPECT_EQ(decoded, rgb);
}

TEST(ImageFile, UnwritablePathsReportFailure) {
    const std::vector<uint8_t> rgb = testPattern();
    const std::string missingDirectory = testing::TempDir() + "no_such_directory_for_bench/";
    EXPECT_FALSE(writeImage((missingDirectory + "f.ppm").c_str(), ImageFormat::Ppm, rgb.data(),
                            width, height));
    EXPECT_FALSE(writeImage((missingDirectory + "f.png").c_str(), ImageFormat::Png, rgb.data(),
                            width, height));
}

// Checked before rendering, so the check must leave everything as it was.
TEST(ImageFile, OutputIsCheckedWithoutTouchingWhatIsThere) {
    std::string error;
    const std::string fresh = scratchPath("_fresh.ppm");
    EXPECT_TRUE(canCreateOutput(fresh.c_str(), error)) << error;
    EXPECT_NE(access(fresh.c_str(), F_OK), 0) << "left behind";

    const std::string kept = scratchPath("_kept.ppm");
    std::FILE* file = std::fopen(kept.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("old frame", file);
    std::fclose(file);
    EXPECT_TRUE(canCreateOutput(kept.c_str(), error)) << error;
    EXPECT_EQ(readFile(kept).size(), 9u);
    std::remove(kept.c_str());

    EXPECT_FALSE(canCreateOutput((testing::TempDir() + "no_such_dir/f.ppm").c_str(), error));
    EXPECT_EQ(error, std::strerror(ENOENT));
    EXPECT_FALSE(canCreateOutput(testing::TempDir().c_str(), error));
    EXPECT_EQ(error, std::strerror(EISDIR));
}

// /dev/full accepts the open and fails the writes: the loss must not be
// reported as success.
TEST(ImageFile, AFullDeviceIsAFailure) {
    if (std::FILE* probe = std::fopen("/dev/full", "wb"))
        std::fclose(probe);
    else
        GTEST_SKIP() << "no /dev/full here";
    const std::vector<uint8_t> rgb = testPattern();
    EXPECT_FALSE(writeImage("/dev/full", ImageFormat::Ppm, rgb.data(), width, height));
    EXPECT_FALSE(writeImage("/dev/full", ImageFormat::Png, rgb.data(), width, height));
}
