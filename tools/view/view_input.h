// What the viewer's mouse and keys do: SDL events in, camera moves and
// requests for the frame loop out. No window is needed: the events may come
// from SDL's queue or be made by hand.
#pragma once

#include <SDL.h>

#include <cstdint>

#include "tools/view/view_camera.h"

namespace vantrel {

enum class ViewDrag { None, Orbit, Zoom, Pan };

// Held movement keys, as bits.
enum ViewMoveKey : uint8_t {
    moveForward = 1,
    moveBack = 2,
    moveLeft = 4,
    moveRight = 8,
};

struct ViewControls {
    ViewCamera camera;
    ViewCamera home;  // the framed pose that R returns to
    bool moved;       // the camera left home since the last reset
    bool showFigures; // frame rate and Mrays/s in the caption
    ViewDrag drag;
    uint8_t dragButton; // the SDL button that started the drag
    int32_t lastX;      // pointer position at the last drag step
    int32_t lastY;
    uint8_t heldMoves; // ViewMoveKey bits
};

// What the frame loop has to do after the events of one frame.
struct ViewRequests {
    bool quit;
    bool screenshot;
    bool captionChanged; // the figures were switched on or off
    bool resize;         // to resizeWidth x resizeHeight, the last one asked
    int32_t resizeWidth;
    int32_t resizeHeight;
};

// Controls at home, figures shown, nothing held.
ViewControls startViewControls(const ViewCamera& home);

// Applies one event. modifiers: the keyboard's modifier state when it
// happened (Shift turns a left drag into a pan). height: the window's, in
// pixels, which scales pans.
void handleViewEvent(ViewControls& controls, const SDL_Event& event, SDLMod modifiers,
                     uint32_t height, ViewRequests& requests);

// Takes every pending event of SDL's queue through handleViewEvent.
ViewRequests drainViewEvents(ViewControls& controls, uint32_t height);

// Moves the camera for the movement keys held over the last seconds.
void applyHeldMoves(ViewControls& controls, float seconds);

} // namespace vantrel
