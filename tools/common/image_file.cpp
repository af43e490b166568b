#include "tools/common/image_file.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include <png.h>

#include "tools/common/output_file.h"

namespace vantrel {

namespace {

bool endsWithIgnoringCase(const char* text, const char* suffix) {
    const size_t textLength = std::strlen(text);
    const size_t suffixLength = std::strlen(suffix);
    if (textLength < suffixLength)
        return false;
    const char* tail = text + textLength - suffixLength;
    for (size_t i = 0; i < suffixLength; ++i) {
        if (std::tolower(static_cast<unsigned char>(tail[i])) != suffix[i])
            return false;
    }
    return true;
}

bool writePpmStream(std::FILE* file, const uint8_t* rgb, uint32_t width, uint32_t height) {
    const size_t length = size_t{width} * height * 3;
    return std::fprintf(file, "P6\n%u %u\n255\n", width, height) > 0 &&
           std::fwrite(rgb, 1, length, file) == length;
}

bool writePngStream(std::FILE* file, const uint8_t* rgb, uint32_t width, uint32_t height) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGB;
    const bool written = png_image_write_to_stdio(&image, file, 0, rgb, 0, nullptr) != 0;
    png_image_free(&image);
    return written;
}

} // namespace

bool imageFormatForPath(const char* path, ImageFormat& format) {
    if (endsWithIgnoringCase(path, ".png")) {
        format = ImageFormat::Png;
        return true;
    }
    if (endsWithIgnoringCase(path, ".ppm")) {
        format = ImageFormat::Ppm;
        return true;
    }
    return false;
}

bool writeImage(const char* path, ImageFormat format, const uint8_t* rgb, uint32_t width,
                uint32_t height, std::string* reason) {
    // Opened here rather than by the PNG library, which deletes the file when
    // a write fails: the path may name something that is not ours to remove.
    OutputFile out;
    std::string error;
    const bool written =
        openOutput(path, out, error) &&
        finishOutput(out,
                     format == ImageFormat::Png ? writePngStream(out.stream, rgb, width, height)
                                                : writePpmStream(out.stream, rgb, width, height),
                     error);
    if (!written && reason)
        *reason = error;
    return written;
}

} // namespace vantrel
