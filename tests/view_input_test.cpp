#include <cstdlib>

#include <gtest/gtest.h>

#include "tools/view/view_input.h"

using namespace vantrel;

namespace {

// The viewer's own event queue, on SDL's dummy video driver.
struct ViewEvents : ::testing::Test {
    ViewControls controls = startViewControls(framedView({{0, 0, 0}, 10.0f}, 512, 384));

    void SetUp() override {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_GE(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        ASSERT_NE(SDL_SetVideoMode(512, 384, 32, SDL_SWSURFACE | SDL_RESIZABLE), nullptr);
        SDL_SetModState(KMOD_NONE);
    }
    void TearDown() override { SDL_Quit(); }

    static void push(SDL_Event event) { ASSERT_EQ(SDL_PushEvent(&event), 0); }
    static void button(Uint8 type, Uint8 which, Uint16 x, Uint16 y) {
        SDL_Event e{};
        e.button.type = type;
        e.button.button = which;
        e.button.x = x;
        e.button.y = y;
        push(e);
    }
    static void motion(Uint8 held, Uint16 x, Uint16 y) {
        SDL_Event e{};
        e.motion.type = SDL_MOUSEMOTION;
        e.motion.state = held;
        e.motion.x = x;
        e.motion.y = y;
        push(e);
    }
    static void key(Uint8 type, SDLKey sym) {
        SDL_Event e{};
        e.key.type = type;
        e.key.keysym.sym = sym;
        push(e);
    }
    // A drag of (40, 25) pixels with one button, in two steps.
    static void drag(Uint8 which) {
        button(SDL_MOUSEBUTTONDOWN, which, 100, 100);
        motion(SDL_BUTTON(which), 120, 110);
        motion(SDL_BUTTON(which), 140, 125);
        button(SDL_MOUSEBUTTONUP, which, 140, 125);
    }
    ViewRequests drain() { return drainViewEvents(controls, 384); }
};

void expectSameCamera(const ViewCamera& a, const ViewCamera& b) {
    EXPECT_EQ(a.yaw, b.yaw);
    EXPECT_EQ(a.pitch, b.pitch);
    EXPECT_EQ(a.distance, b.distance);
    EXPECT_EQ(a.centre.x, b.centre.x);
    EXPECT_EQ(a.centre.y, b.centre.y);
    EXPECT_EQ(a.centre.z, b.centre.z);
}

} // namespace

TEST_F(ViewEvents, EachButtonsDragMovesTheCameraItsWay) {
    ViewCamera expected = controls.home;
    drag(SDL_BUTTON_LEFT);
    drain();
    orbitView(expected, 20, 10);
    orbitView(expected, 20, 15);
    expectSameCamera(controls.camera, expected);
    EXPECT_TRUE(controls.moved);

    drag(SDL_BUTTON_MIDDLE);
    drain();
    panView(expected, 20, 10, 384);
    panView(expected, 20, 15, 384);
    expectSameCamera(controls.camera, expected);

    // Shift held when the left button goes down: a pan too.
    SDL_SetModState(KMOD_LSHIFT);
    drag(SDL_BUTTON_LEFT);
    drain();
    panView(expected, 20, 10, 384);
    panView(expected, 20, 15, 384);
    expectSameCamera(controls.camera, expected);
    SDL_SetModState(KMOD_NONE);

    // Dragging down moves away; each notch of the wheel comes closer, and back.
    drag(SDL_BUTTON_RIGHT);
    drain();
    const float zoomedOut = controls.camera.distance;
    EXPECT_GT(zoomedOut, expected.distance * 1.2f);
    button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELUP, 0, 0);
    button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELUP, 0, 0);
    drain();
    EXPECT_LT(controls.camera.distance, zoomedOut * 0.9f * 0.9f);
    button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELDOWN, 0, 0);
    button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_WHEELDOWN, 0, 0);
    drain();
    EXPECT_NEAR(controls.camera.distance, zoomedOut, 1e-5f * zoomedOut);
    EXPECT_EQ(controls.camera.yaw, expected.yaw);

    // R: back to the framed view.
    key(SDL_KEYDOWN, SDLK_r);
    drain();
    expectSameCamera(controls.camera, controls.home);
    EXPECT_FALSE(controls.moved);
}

TEST_F(ViewEvents, ADragEndsWhenItsButtonIsNoLongerHeld) {
    button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 100, 100);
    motion(0, 130, 100); // released outside the window
    motion(0, 300, 300);
    drain();
    ViewCamera expected = controls.home;
    orbitView(expected, 30, 0);
    expectSameCamera(controls.camera, expected);
}

TEST_F(ViewEvents, KeysAskTheFrameLoopAndHeldKeysMove) {
    key(SDL_KEYDOWN, SDLK_q);
    key(SDL_KEYDOWN, SDLK_SPACE);
    ViewRequests requests = drain();
    EXPECT_FALSE(requests.quit || requests.screenshot || requests.captionChanged);

    key(SDL_KEYDOWN, SDLK_p);
    key(SDL_KEYDOWN, SDLK_f);
    requests = drain();
    EXPECT_TRUE(requests.screenshot && requests.captionChanged);
    EXPECT_FALSE(controls.showFigures);
    EXPECT_FALSE(requests.quit);

    SDL_Event resize{};
    resize.resize = {SDL_VIDEORESIZE, 800, 600};
    push(resize);
    resize.resize = {SDL_VIDEORESIZE, 640, 480};
    push(resize);
    key(SDL_KEYDOWN, SDLK_ESCAPE);
    requests = drain();
    EXPECT_TRUE(requests.quit && requests.resize);
    EXPECT_EQ(requests.resizeWidth, 640);
    EXPECT_EQ(requests.resizeHeight, 480);
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    push(quit);
    EXPECT_TRUE(drain().quit);

    // W and Up held together still move one step; A and D cancel.
    key(SDL_KEYDOWN, SDLK_w);
    key(SDL_KEYDOWN, SDLK_a);
    key(SDL_KEYDOWN, SDLK_d);
    drain();
    ViewCamera expected = controls.camera;
    applyHeldMoves(controls, 0.25f);
    moveView(expected, 1.0f, 0.0f, 0.25f);
    expectSameCamera(controls.camera, expected);
    key(SDL_KEYUP, SDLK_w);
    drain();
    applyHeldMoves(controls, 0.25f);
    expectSameCamera(controls.camera, expected);

    // Keys let go while another window has the focus are never seen.
    key(SDL_KEYDOWN, SDLK_DOWN);
    SDL_Event away{};
    away.active = {SDL_ACTIVEEVENT, 0, SDL_APPINPUTFOCUS};
    push(away);
    drain();
    applyHeldMoves(controls, 0.25f);
    expectSameCamera(controls.camera, expected);
}
