// Prints a fingerprint of what an X window shows now, and its size:
// "<hash> <width>x<height>". Two captures of an unchanged picture agree.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s WINDOW_ID\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "cannot open display\n");
        return 1;
    }
    const Window window = std::strtoul(argv[1], nullptr, 0);
    XWindowAttributes attributes;
    XImage* image = nullptr;
    if (XGetWindowAttributes(display, window, &attributes))
        image = XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes,
                          ZPixmap);
    if (!image) {
        std::fprintf(stderr, "cannot read window %s\n", argv[1]);
        return 1;
    }
    uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (int y = 0; y < image->height; ++y) {
        for (int x = 0; x < image->width; ++x) {
            hash = (hash ^ XGetPixel(image, x, y)) * 1099511628211ull;
        }
    }
    std::printf("%016llx %dx%d\n", static_cast<unsigned long long>(hash), image->width,
                image->height);
    XDestroyImage(image);
    XCloseDisplay(display);
    return 0;
}
