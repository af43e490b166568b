// Writes an RGB frame to an image file.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

enum class ImageFormat { Png, Ppm };

// Picks the format from the name's extension (.png or .ppm, any case).
// False when the extension is neither.
bool imageFormatForPath(const char* path, ImageFormat& format);

// rgb: width * height * 3 bytes, row 0 at the top. False, with the system's
// reason in reason where given, when the file could not be written
// completely; a file that was at path is then as it was.
bool writeImage(const char* path, ImageFormat format, const uint8_t* rgb, uint32_t width,
                uint32_t height, std::string* reason = nullptr);

} // namespace vantrel
