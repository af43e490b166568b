#include <cstdlib>

#include <gtest/gtest.h>

#include "tools/view/view_input.h"

using namespace vantrel;

namespace {

// The viewer's events through SDL's own queue, on its dummy video driver.
struct ViewEvents : ::testing::Test {
    ViewControls controls = startViewControls(framedView({{0, 0, 0}, 10.0f}, 512, 384));

    void SetUp() override {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_GE(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        SDL_SetModState(KMOD_NONE);
    }
    void TearDown() override { SDL_Quit(); }

    // type, then the button or key, the pointer and the buttons held.
    static void push(Uint8 type, int which = 0, Uint16 x = 0, Uint16 y = 0, Uint8 held = 0) {
        SDL_Event e{};
        e.type = type;
        if (type == SDL_MOUSEBUTTONDOWN || type == SDL_MOUSEBUTTONUP)
            e.button = {type, 0, static_cast<Uint8>(which), 0, x, y};
        else if (type == SDL_MOUSEMOTION)
            e.motion = {type, 0, held, x, y, 0, 0};
        else if (type == SDL_KEYDOWN || type == SDL_KEYUP)
            e.key.keysym.sym = static_cast<SDLKey>(which);
        else if (type == SDL_VIDEORESIZE)
            e.resize = {type, x, y};
        else if (type == SDL_ACTIVEEVENT)
            e.active = {type, 0, SDL_APPINPUTFOCUS};
        ASSERT_EQ(SDL_PushEvent(&e), 0);
    }
    // (20, 10) then (20, 15) pixels with one button held, and drained.
    void drag(int which) {
        push(SDL_MOUSEBUTTONDOWN, which, 100, 100);
        push(SDL_MOUSEMOTION, 0, 120, 110, SDL_BUTTON(which));
        push(SDL_MOUSEMOTION, 0, 140, 125, SDL_BUTTON(which));
        push(SDL_MOUSEBUTTONUP, which, 140, 125);
        drain();
    }
    ViewRequests drain() { return drainViewEvents(controls, 384); }
    void expectCamera(const ViewCamera& expected) const {
        const ViewCamera& c = controls.camera;
        EXPECT_TRUE(c.yaw == expected.yaw && c.pitch == expected.pitch &&
                    c.distance == expected.distance && c.centre.x == expected.centre.x &&
                    c.centre.y == expected.centre.y && c.centre.z == expected.centre.z);
    }
};

} // namespace

TEST_F(ViewEvents, EachButtonsDragMovesTheCameraItsWay) {
    ViewCamera expected = controls.home;
    drag(SDL_BUTTON_LEFT);
    orbitView(expected, 20, 10);
    orbitView(expected, 20, 15);
    expectCamera(expected);
    EXPECT_TRUE(controls.moved);
    // The middle button, and the left with Shift held, pan.
    drag(SDL_BUTTON_MIDDLE);
    SDL_SetModState(KMOD_LSHIFT);
    drag(SDL_BUTTON_LEFT);
    for (int pan = 0; pan < 2; ++pan) {
        panView(expected, 20, 10, 384);
        panView(expected, 20, 15, 384);
    }
    expectCamera(expected);

    // Dragging down moves away; each notch of the wheel comes closer, and back.
    drag(SDL_BUTTON_RIGHT);
    const float zoomedOut = controls.camera.distance;
    EXPECT_GT(zoomedOut, expected.distance * 1.2f);
    push(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELUP);
    push(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELUP);
    drain();
    EXPECT_LT(controls.camera.distance, zoomedOut * 0.9f * 0.9f);
    push(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELDOWN);
    push(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELDOWN);
    drain();
    EXPECT_NEAR(controls.camera.distance, zoomedOut, 1e-5f * zoomedOut);

    // A release outside the window is never seen: the motion's buttons end it.
    SDL_SetModState(KMOD_NONE);
    expected = controls.camera;
    push(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 100, 100);
    push(SDL_MOUSEMOTION, 0, 300, 150);
    push(SDL_MOUSEMOTION, 0, 10, 10);
    drain();
    orbitView(expected, 200, 50);
    expectCamera(expected);
    push(SDL_KEYDOWN, SDLK_r);
    drain();
    expectCamera(controls.home);
    EXPECT_FALSE(controls.moved);
}

TEST_F(ViewEvents, KeysAskTheFrameLoopAndHeldKeysMove) {
    push(SDL_KEYDOWN, SDLK_q);
    push(SDL_KEYDOWN, SDLK_SPACE);
    ViewRequests requests = drain();
    EXPECT_FALSE(requests.quit || requests.screenshot || requests.captionChanged);
    push(SDL_KEYDOWN, SDLK_p);
    push(SDL_KEYDOWN, SDLK_f);
    requests = drain();
    EXPECT_TRUE(requests.screenshot && requests.captionChanged && !controls.showFigures);
    EXPECT_FALSE(requests.quit);
    push(SDL_VIDEORESIZE, 0, 800, 600);
    push(SDL_VIDEORESIZE, 0, 640, 480);
    push(SDL_KEYDOWN, SDLK_ESCAPE);
    requests = drain();
    EXPECT_TRUE(requests.quit && requests.resize);
    EXPECT_EQ(requests.resizeWidth * 1000 + requests.resizeHeight, 640480);
    push(SDL_QUIT);
    EXPECT_TRUE(drain().quit);

    // W moves forward while held; A and D cancel; a lost focus lets go.
    push(SDL_KEYDOWN, SDLK_w);
    push(SDL_KEYDOWN, SDLK_a);
    push(SDL_KEYDOWN, SDLK_d);
    drain();
    ViewCamera expected = controls.camera;
    applyHeldMoves(controls, 0.25f);
    moveView(expected, 1.0f, 0.0f, 0.25f);
    expectCamera(expected);
    push(SDL_KEYUP, SDLK_w);
    push(SDL_KEYDOWN, SDLK_DOWN);
    push(SDL_ACTIVEEVENT);
    drain();
    applyHeldMoves(controls, 0.25f);
    expectCamera(expected);
}
