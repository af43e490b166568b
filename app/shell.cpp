#include "vantrel/app/shell.h"

#include <SDL.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vantrel/app/bitmap_check.h"
#include "vantrel/app/clock.h"
#include "vantrel/app/demo_scene.h"
#include "vantrel/app/frame_caption.h"
#include "vantrel/app/shell_state.h"
#include "vantrel/app/surface_copy.h"
#include "vantrel/scene/regular_file.h"
#include "vantrel/tracer/camera.h"

namespace vantrel {

namespace {

void setCaption(const char* text) {
    SDL_WM_SetCaption(text, "");
}

void shutDownSdl() {
    SDL_Quit();
}

// Opening a FIFO waits for a writer, and the window would wait with it, deaf
// to every event: only a regular file is handed to SDL, and only one that
// can hold the pixels its header declares, for which SDL would allocate.
// A missing file is left to SDL to report; other reasons it would not tell
// apart.
SDL_Surface* loadBitmap(const char* path) {
    int systemError = 0;
    const FileKind kind = fileKindAt(path, systemError);
    std::string why;
    if (kind == FileKind::Unknown && systemError != ENOENT) {
        SDL_SetError("Couldn't open %s: %s", path, std::strerror(systemError));
        return nullptr;
    }
    if (kind != FileKind::Regular && kind != FileKind::Unknown) {
        SDL_SetError("%s is %s, not a regular file", path, describeFileKind(kind));
        return nullptr;
    }
    if (kind == FileKind::Regular && !bitmapFitsItsFile(path, why)) {
        SDL_SetError("%s: %s", path, why.c_str());
        return nullptr;
    }
    return SDL_LoadBMP_RW(SDL_RWFromFile(path, "rb"), 1);
}

} // namespace

bool drainEvents() {
    bool quit = false;
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == SDL_QUIT)
            quit = true;
        else if (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE)
            quit = true;
    }
    return quit;
}

int runShell() {
    // A window or nothing: without this SDL falls back to drawing in the
    // terminal or on the console framebuffer when no X display is there. An
    // explicit SDL_VIDEODRIVER still wins.
    setenv("SDL_VIDEODRIVER", "x11", 0);
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        std::printf("Unable to init SDL: %s\n", SDL_GetError());
        return 1;
    }
    setCaption("vantrel rtrt");
    // From here on SDL is shut down at exit on every path.
    std::atexit(shutDownSdl);

    SDL_Surface* screen =
        SDL_SetVideoMode(demoWidth, demoHeight, 32, SDL_HWSURFACE | SDL_DOUBLEBUF);
    if (!screen) {
        std::printf("Unable to set %ux%u video: %s\n", demoWidth, demoHeight, SDL_GetError());
        return 1;
    }
    // Never drawn; the program does not start without it.
    SDL_Surface* bitmap = loadBitmap("cb.bmp");
    if (!bitmap) {
        std::printf("Unable to load bitmap: %s\n", SDL_GetError());
        return 1;
    }

    buildDemoScene(setCaption);

    CaptionWindow window;
    startCaptionWindow(window, clockTicks);
    char caption[captionBufferSize];
    bool quit = false;
    while (!quit) {
        if (countFrame(window, clockTicks, compiledTree, caption, sizeof caption))
            setCaption(caption);
        animateCamera();
        copyToSurface(renderTarget, screen);
        quit = drainEvents();
        // The last frame is shown too.
        SDL_Flip(screen);
    }

    SDL_FreeSurface(bitmap);
    releaseScene();
    std::puts("Exited cleanly");
    return 0;
}

} // namespace vantrel
