// Exit status 0 when the PNG file holds a pixel that is not black; prints
// how many there are.
#include <cstdio>
#include <vector>

#include <png.h>

int main(int argc, char** argv) {
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    if (argc != 2 || !png_image_begin_read_from_file(&image, argv[1])) {
        std::fprintf(stderr, "cannot read %s: %s\n", argc == 2 ? argv[1] : "(no file given)",
                     image.message);
        return 2;
    }
    image.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) {
        std::fprintf(stderr, "cannot decode %s: %s\n", argv[1], image.message);
        return 2;
    }
    size_t lit = 0;
    for (size_t i = 0; i < rgb.size(); i += 3)
        lit += rgb[i] != 0 || rgb[i + 1] != 0 || rgb[i + 2] != 0;
    std::printf("%zu of %u pixels are not black\n", lit, image.width * image.height);
    return lit > 0 ? 0 : 1;
}
