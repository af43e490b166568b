// vantrel-view: a mesh of one's own in a window, moved by the mouse and the
// keys, rendered frame after frame by the kernel.
#include <SDL.h> // where SDLmain is used, it wraps this main

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unistd.h>

#include "tools/common/scene_warnings.h"
#include "tools/common/tool_main.h"
#include "tools/view/view_bands.h"
#include "tools/view/view_camera.h"
#include "tools/view/view_caption.h"
#include "tools/view/view_frame.h"
#include "tools/view/view_input.h"
#include "tools/view/view_load.h"
#include "tools/view/view_options.h"
#include "tools/view/view_screenshot.h"
#include "tools/view/view_surface.h"
#include "vantrel/scene/regular_file.h"

using namespace vantrel;

namespace {

constexpr uint32_t startWidth = 512;
constexpr uint32_t startHeight = 384;
constexpr Uint32 videoFlags = SDL_SWSURFACE | SDL_RESIZABLE;
// Held keys move by the time a frame took, but not by a stall's worth.
constexpr double longestMoveStep = 0.25;

constexpr const char* tool = "vantrel-view";

void setCaption(const std::string& text) {
    SDL_WM_SetCaption(text.c_str(), "");
}

void shutDownSdl() {
    SDL_Quit();
}

double secondsNow() {
    using Clock = std::chrono::steady_clock;
    static const Clock::time_point start = Clock::now();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Missing files, folders and FIFOs are refused before a window opens.
bool canOpenMesh(const std::string& path, std::string& error) {
    int systemError = 0;
    const FileKind kind = fileKindAt(path.c_str(), systemError);
    if (kind == FileKind::Regular)
        return true;
    error = "cannot open '" + path + "': " +
            (kind == FileKind::Unknown
                 ? std::string(std::strerror(systemError))
                 : std::string("it is ") + describeFileKind(kind) + ", not a regular file");
    return false;
}

// Keeps the window answering while the model loads. False when it was asked
// to close; the size it was given meanwhile is kept in width and height.
bool waitForLoad(ViewLoad& load, int32_t& width, int32_t& height) {
    const double start = secondsNow();
    std::string shown;
    for (;;) {
        std::string step;
        const bool done = viewLoadStep(load, step);
        const std::string caption = progressCaption(step, secondsNow() - start);
        if (caption != shown) {
            setCaption(caption);
            shown = caption;
        }
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
            if (event.type == SDL_QUIT ||
                (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE))
                return false;
            if (event.type == SDL_VIDEORESIZE) {
                width = event.resize.w;
                height = event.resize.h;
            }
        }
        if (done)
            return true;
        SDL_Delay(20);
    }
}

SDL_Surface* openWindow(int32_t width, int32_t height, RenderTarget& target) {
    const int32_t w = width > 0 ? width : 1;
    const int32_t h = height > 0 ? height : 1;
    SDL_Surface* screen = SDL_SetVideoMode(w, h, 32, videoFlags);
    if (screen) {
        uint32_t tracedWidth;
        uint32_t tracedHeight;
        tracedSizeFor(static_cast<uint32_t>(screen->w), static_cast<uint32_t>(screen->h),
                      tracedWidth, tracedHeight);
        sizeViewTarget(target, tracedWidth, tracedHeight);
    }
    return screen;
}

// The window at width x height, or, where the system refuses that size (a
// surface too wide for it), back at the size it had, with a word: a window
// manager or a script resizing the window must not end the session. Null
// where neither can be had.
SDL_Surface* resizeWindow(int32_t width, int32_t height, int32_t oldWidth, int32_t oldHeight,
                          RenderTarget& target) {
    if (SDL_Surface* screen = openWindow(width, height, target))
        return screen;
    const std::string why = SDL_GetError();
    SDL_Surface* screen = openWindow(oldWidth, oldHeight, target);
    if (screen)
        warn(tool, "cannot make the window " + std::to_string(width) + "x" +
                       std::to_string(height) + " (" + why + "); it stays " +
                       std::to_string(screen->w) + "x" + std::to_string(screen->h));
    return screen;
}

void takeScreenshot(const std::string& modelPath, const RenderTarget& target) {
    Screenshot shot;
    std::string error;
    if (!writeViewScreenshot(modelPath, ".", target, shot, error)) {
        failWith(tool, "no screenshot: " + error, 1);
        return;
    }
    if (shot.fellBack)
        warn(tool,
             "the model's folder takes no new files; the image went to the working directory");
    if (frameIsBlack(target))
        warn(tool, "the image written to '" + shot.path + "' is entirely black");
    std::printf("%s\n", shot.path.c_str());
    std::fflush(stdout);
}

int runView(int argc, char** argv) {
    ViewOptions options;
    std::string error;
    switch (parseViewOptions(argc, argv, options, error)) {
    case ParseOutcome::Help:
    case ParseOutcome::Version:
        std::fputs(viewUsage(), stdout);
        return 0;
    case ParseOutcome::Error:
        return failWith(tool, error, 2);
    case ParseOutcome::Run:
        break;
    }
    if (!canOpenMesh(options.meshPath, error))
        return failWith(tool, error, 1);

    // A window or nothing, as the demo does: without this SDL falls back to
    // drawing in the terminal when no X display is there.
    setenv("SDL_VIDEODRIVER", "x11", 0);
    if (SDL_Init(SDL_INIT_VIDEO) < 0)
        return failWith(tool,
                        std::string("cannot open a window: ") + SDL_GetError() +
                            (std::getenv("DISPLAY") ? "" : " (DISPLAY is not set)"),
                        1);
    std::atexit(shutDownSdl);
    const std::string name = modelName(options.meshPath);
    setCaption(progressCaption("loading " + name, 0.0));
    RenderTarget target{};
    SDL_Surface* screen = openWindow(startWidth, startHeight, target);
    if (!screen)
        return failWith(tool, std::string("cannot open a window: ") + SDL_GetError(), 1);
    SDL_FillRect(screen, nullptr, 0);
    SDL_Flip(screen);

    ViewRenderer renderer = startViewRenderer(options.threads);
    if (options.threads > renderer.threads)
        warn(tool, "rendering on " + std::to_string(renderer.threads) + " of the " +
                       std::to_string(options.threads) +
                       " threads asked for: the system gave no more");

    ViewLoad load;
    startViewLoad(load, options.meshPath, options.method);
    int32_t width = screen->w, height = screen->h;
    if (!waitForLoad(load, width, height)) {
        // The build cannot be stopped part way; nothing is lost by not
        // waiting for it.
        SDL_Quit();
        if (load.progress.stream)
            std::fputc('\n', stderr);
        std::fflush(nullptr);
        std::_Exit(0);
    }
    if (!finishViewLoad(load, error)) {
        releaseViewLoad(load);
        releaseViewTarget(target);
        return failWith(tool, error, 1);
    }
    warnAboutMesh(tool, *load.scene.mesh, load.scene.hierarchy);
    int status = 0;
    if (width != screen->w || height != screen->h) {
        screen = resizeWindow(width, height, screen->w, screen->h, target);
        if (!screen)
            status = failWith(tool, std::string("cannot resize the window: ") + SDL_GetError(), 1);
    }

    const ViewFraming framing = modelFraming(*load.scene.mesh, load.scene.meshBox);
    ViewControls controls = startViewControls(framedView(framing, target.width, target.height));
    setCaption(plainCaption(name));
    FrameMeter meter;
    startFrameMeter(meter, secondsNow());
    double lastFrame = secondsNow();
    // A screenshot asked for with a resize waits for the first frame at the
    // new size: the key came after the resize, or with it in one batch of
    // events, and the picture it should keep is the resized one.
    bool screenshotDue = false;
    while (status == 0) {
        const double now = secondsNow();
        applyHeldMoves(controls, static_cast<float>(std::min(now - lastFrame, longestMoveStep)));
        lastFrame = now;
        const Matrix4 camera = viewCameraMatrix(controls.camera);
        const auto render = [&](RenderTarget& band) {
            return load.scene.hierarchy
                       ? renderViewFrame(renderer, load.scene.query, band, camera)
                       : renderViewFrame(renderer, load.scene.topLevelList, *load.scene.tree, band,
                                         camera);
        };
        uint32_t rays = 0;
        // A frame cut short for an event is not shown: the events come first.
        if (renderViewFrameBetweenEvents(render, target, rays)) {
            presentFrame(target, screen);
            SDL_Flip(screen);
            if (screenshotDue) {
                takeScreenshot(options.meshPath, target);
                screenshotDue = false;
            }
            FrameFigures figures;
            if (meterFrame(meter, rays, secondsNow(), figures) && controls.showFigures)
                setCaption(figuresCaption(name, figures, renderer.threads, load.scene.mesh->count));
        }

        const ViewRequests requests = drainViewEvents(controls, static_cast<uint32_t>(screen->h));
        if (requests.screenshot && requests.resize)
            screenshotDue = true;
        else if (requests.screenshot)
            takeScreenshot(options.meshPath, target);
        if (requests.captionChanged) {
            if (controls.showFigures)
                startFrameMeter(meter, secondsNow());
            else
                setCaption(plainCaption(name));
        }
        if (requests.quit) {
            if (screenshotDue)
                takeScreenshot(options.meshPath, target);
            break;
        }
        if (requests.resize) {
            screen = resizeWindow(requests.resizeWidth, requests.resizeHeight, screen->w, screen->h,
                                  target);
            if (!screen) {
                status =
                    failWith(tool, std::string("cannot resize the window: ") + SDL_GetError(), 1);
                break;
            }
            // The model stays framed until the view is moved.
            controls.home = framedView(framing, target.width, target.height);
            if (!controls.moved)
                controls.camera = controls.home;
        }
    }
    stopViewRenderer(renderer);
    releaseViewLoad(load);
    releaseViewTarget(target);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    return runToolMain(tool, runView, argc, argv);
}
