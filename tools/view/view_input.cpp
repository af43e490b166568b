#include "tools/view/view_input.h"

#include <cmath>

namespace vantrel {

namespace {

// One notch of the wheel, and one pixel of a zoom drag.
constexpr float wheelZoom = 0.85f;
constexpr float zoomPerPixel = 0.01f;

uint8_t moveKeyOf(SDLKey key) {
    switch (key) {
    case SDLK_w:
    case SDLK_UP:
        return moveForward;
    case SDLK_s:
    case SDLK_DOWN:
        return moveBack;
    case SDLK_a:
    case SDLK_LEFT:
        return moveLeft;
    case SDLK_d:
    case SDLK_RIGHT:
        return moveRight;
    default:
        return 0;
    }
}

void startDrag(ViewControls& controls, const SDL_MouseButtonEvent& button, SDLMod modifiers) {
    if (controls.drag != ViewDrag::None)
        return;
    switch (button.button) {
    case SDL_BUTTON_LEFT:
        controls.drag = (modifiers & KMOD_SHIFT) ? ViewDrag::Pan : ViewDrag::Orbit;
        break;
    case SDL_BUTTON_MIDDLE:
        controls.drag = ViewDrag::Pan;
        break;
    case SDL_BUTTON_RIGHT:
        controls.drag = ViewDrag::Zoom;
        break;
    default:
        return;
    }
    controls.dragButton = button.button;
    controls.lastX = button.x;
    controls.lastY = button.y;
}

void dragTo(ViewControls& controls, int32_t x, int32_t y, uint32_t height) {
    const float dx = static_cast<float>(x - controls.lastX);
    const float dy = static_cast<float>(y - controls.lastY);
    controls.lastX = x;
    controls.lastY = y;
    if (dx == 0.0f && dy == 0.0f)
        return;
    switch (controls.drag) {
    case ViewDrag::Orbit:
        orbitView(controls.camera, dx, dy);
        break;
    case ViewDrag::Pan:
        panView(controls.camera, dx, dy, height);
        break;
    case ViewDrag::Zoom:
        // Up comes closer.
        zoomView(controls.camera, std::exp(dy * zoomPerPixel));
        break;
    case ViewDrag::None:
        return;
    }
    controls.moved = true;
}

void handleKey(ViewControls& controls, const SDL_KeyboardEvent& key, ViewRequests& requests) {
    const uint8_t move = moveKeyOf(key.keysym.sym);
    if (key.type == SDL_KEYUP) {
        controls.heldMoves &= static_cast<uint8_t>(~move);
        return;
    }
    controls.heldMoves |= move;
    switch (key.keysym.sym) {
    case SDLK_ESCAPE:
        requests.quit = true;
        break;
    case SDLK_r:
        controls.camera = controls.home;
        controls.moved = false;
        break;
    case SDLK_f:
        controls.showFigures = !controls.showFigures;
        requests.captionChanged = true;
        break;
    case SDLK_p:
        requests.screenshot = true;
        break;
    default:
        break;
    }
}

} // namespace

ViewControls startViewControls(const ViewCamera& home) {
    ViewControls controls{};
    controls.camera = home;
    controls.home = home;
    controls.showFigures = true;
    return controls;
}

void handleViewEvent(ViewControls& controls, const SDL_Event& event, SDLMod modifiers,
                     uint32_t height, ViewRequests& requests) {
    switch (event.type) {
    case SDL_QUIT:
        requests.quit = true;
        break;
    case SDL_KEYDOWN:
    case SDL_KEYUP:
        handleKey(controls, event.key, requests);
        break;
    case SDL_MOUSEBUTTONDOWN:
        if (event.button.button == SDL_BUTTON_WHEELUP ||
            event.button.button == SDL_BUTTON_WHEELDOWN) {
            zoomView(controls.camera,
                     event.button.button == SDL_BUTTON_WHEELUP ? wheelZoom : 1.0f / wheelZoom);
            controls.moved = true;
        } else {
            startDrag(controls, event.button, modifiers);
        }
        break;
    case SDL_MOUSEBUTTONUP:
        if (controls.drag != ViewDrag::None && event.button.button == controls.dragButton) {
            dragTo(controls, event.button.x, event.button.y, height);
            controls.drag = ViewDrag::None;
        }
        break;
    case SDL_MOUSEMOTION:
        if (controls.drag == ViewDrag::None)
            break;
        dragTo(controls, event.motion.x, event.motion.y, height);
        // A release outside the window may never arrive: the motion's own
        // button state ends the drag.
        if (!(event.motion.state & SDL_BUTTON(controls.dragButton)))
            controls.drag = ViewDrag::None;
        break;
    case SDL_ACTIVEEVENT:
        // Keys released while another window has the focus are never seen.
        if (!event.active.gain && (event.active.state & SDL_APPINPUTFOCUS)) {
            controls.heldMoves = 0;
            controls.drag = ViewDrag::None;
        }
        break;
    case SDL_VIDEORESIZE:
        requests.resize = true;
        requests.resizeWidth = event.resize.w;
        requests.resizeHeight = event.resize.h;
        break;
    default:
        break;
    }
}

ViewRequests drainViewEvents(ViewControls& controls, uint32_t height) {
    ViewRequests requests{};
    SDL_Event event;
    while (SDL_PollEvent(&event))
        handleViewEvent(controls, event, SDL_GetModState(), height, requests);
    return requests;
}

void applyHeldMoves(ViewControls& controls, float seconds) {
    const uint8_t held = controls.heldMoves;
    const float forward = ((held & moveForward) ? 1.0f : 0.0f) - ((held & moveBack) ? 1.0f : 0.0f);
    const float right = ((held & moveRight) ? 1.0f : 0.0f) - ((held & moveLeft) ? 1.0f : 0.0f);
    if (forward == 0.0f && right == 0.0f)
        return;
    moveView(controls.camera, forward, right, seconds);
    controls.moved = true;
}

} // namespace vantrel
