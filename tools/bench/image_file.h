// Writes an RGB frame to an image file.
#pragma once

#include <cstdint>

namespace vantrel {

enum class ImageFormat { Png, Ppm };

// Picks the format from the name's extension (.png or .ppm, any case).
// False when the extension is neither.
bool imageFormatForPath(const char* path, ImageFormat& format);

// rgb: width * height * 3 bytes, row 0 at the top. False when the file could
// not be written completely.
bool writeImage(const char* path, ImageFormat format, const uint8_t* rgb, uint32_t width,
                uint32_t height);

} // namespace vantrel
