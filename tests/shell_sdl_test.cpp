#include <gtest/gtest.h>

#include <SDL.h>
#include <cstdlib>
#include <vector>

#include "vantrel/app/shell.h"
#include "vantrel/app/surface_copy.h"

namespace vantrel {
namespace {

struct Sdl : ::testing::Test {
    void SetUp() override {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_GE(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    }
    void TearDown() override { SDL_Quit(); }
};

void setPixel(RenderTarget& target, uint32_t x, uint32_t y, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t* p = target.pixels + 3 * (y * target.width + x);
    p[0] = r;
    p[1] = g;
    p[2] = b;
}

TEST_F(Sdl, CopyToTheScreenStoresRedGreenBlueWords) {
    SDL_Surface* screen = SDL_SetVideoMode(512, 384, 32, SDL_HWSURFACE | SDL_DOUBLEBUF);
    ASSERT_NE(screen, nullptr) << SDL_GetError();
    std::vector<uint8_t> pixels(512 * 384 * 3, 0);
    RenderTarget target{512, 384, nullptr, pixels.data()};
    setPixel(target, 0, 0, 255, 0, 0);
    setPixel(target, 1, 0, 0, 255, 0);
    setPixel(target, 2, 0, 0, 0, 255);
    setPixel(target, 5, 7, 0x12, 0x34, 0x56);
    setPixel(target, 511, 383, 255, 255, 255);

    copyToSurface(target, screen);
    ASSERT_EQ(screen->pitch, 512 * 4);
    const auto* words = static_cast<const uint32_t*>(screen->pixels);
    EXPECT_EQ(words[0], 255u * 65536);
    EXPECT_EQ(words[1], 255u * 256);
    EXPECT_EQ(words[2], 255u);
    EXPECT_EQ(words[3], 0u);
    EXPECT_EQ(words[7 * 512 + 5], 0x123456u);
    EXPECT_EQ(words[383 * 512 + 511], 0xffffffu);
}

// Rows of a surface may lie further apart than its visible width.
TEST_F(Sdl, CopyHonoursAWiderPitch) {
    constexpr int width = 3, height = 2, pitchWords = 5;
    constexpr uint32_t untouched = 0xdeadbeef;
    std::vector<uint32_t> memory(pitchWords * height, untouched);
    SDL_Surface* surface = SDL_CreateRGBSurfaceFrom(memory.data(), width, height, 32,
                                                    pitchWords * 4, 0xff0000, 0xff00, 0xff, 0);
    ASSERT_NE(surface, nullptr) << SDL_GetError();
    std::vector<uint8_t> pixels(width * height * 3);
    RenderTarget target{width, height, nullptr, pixels.data()};
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            setPixel(target, x, y, static_cast<uint8_t>(x + 1), static_cast<uint8_t>(y + 1), 9);

    copyToSurface(target, surface);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x)
            EXPECT_EQ(memory[y * pitchWords + x], (x + 1) << 16 | (y + 1) << 8 | 9u)
                << x << "," << y;
        for (uint32_t x = width; x < pitchWords; ++x)
            EXPECT_EQ(memory[y * pitchWords + x], untouched) << "padding " << x << "," << y;
    }
    SDL_FreeSurface(surface);
}

// A surface the frame does not fit is left alone rather than overrun.
TEST_F(Sdl, CopySkipsASurfaceTheFrameDoesNotFit) {
    constexpr uint32_t untouched = 0xdeadbeef;
    std::vector<uint8_t> pixels(4 * 4 * 3, 0x7f);
    RenderTarget target{4, 4, nullptr, pixels.data()};

    std::vector<uint32_t> small(3 * 4, untouched);
    SDL_Surface* narrow =
        SDL_CreateRGBSurfaceFrom(small.data(), 3, 4, 32, 3 * 4, 0xff0000, 0xff00, 0xff, 0);
    ASSERT_NE(narrow, nullptr) << SDL_GetError();
    copyToSurface(target, narrow);
    SDL_FreeSurface(narrow);
    for (uint32_t word : small)
        EXPECT_EQ(word, untouched);

    std::vector<uint16_t> shallow(4 * 4 * 2, 0xbeef);
    SDL_Surface* sixteenBit =
        SDL_CreateRGBSurfaceFrom(shallow.data(), 4, 4, 16, 4 * 2 * 2, 0xf800, 0x7e0, 0x1f, 0);
    ASSERT_NE(sixteenBit, nullptr) << SDL_GetError();
    copyToSurface(target, sixteenBit);
    SDL_FreeSurface(sixteenBit);
    for (uint16_t half : shallow)
        EXPECT_EQ(half, 0xbeef);
}

SDL_Event keyEvent(Uint8 type, SDLKey key) {
    SDL_Event event{};
    event.type = type;
    event.key.type = type;
    event.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
    event.key.keysym.sym = key;
    return event;
}

void push(SDL_Event event) {
    ASSERT_EQ(SDL_PushEvent(&event), 0) << SDL_GetError();
}

int pendingEvents() {
    return SDL_PeepEvents(nullptr, 64, SDL_PEEKEVENT, SDL_ALLEVENTS);
}

TEST_F(Sdl, OnlyEscapePressedOrQuitEndsTheLoop) {
    EXPECT_FALSE(drainEvents());

    push(keyEvent(SDL_KEYUP, SDLK_ESCAPE));
    push(keyEvent(SDL_KEYDOWN, SDLK_a));
    push(keyEvent(SDL_KEYDOWN, SDLK_q));
    EXPECT_FALSE(drainEvents());
    EXPECT_EQ(pendingEvents(), 0);

    push(keyEvent(SDL_KEYDOWN, SDLK_ESCAPE));
    push(keyEvent(SDL_KEYUP, SDLK_ESCAPE));
    push(keyEvent(SDL_KEYDOWN, SDLK_a));
    EXPECT_TRUE(drainEvents());
    EXPECT_EQ(pendingEvents(), 0); // drained to the end all the same

    SDL_Event quit{};
    quit.type = SDL_QUIT;
    push(quit);
    EXPECT_TRUE(drainEvents());
}

TEST_F(Sdl, TheBuildMakesALoadableCheckerboard) {
    SDL_Surface* bitmap = SDL_LoadBMP(VANTREL_CHECKERBOARD);
    ASSERT_NE(bitmap, nullptr) << SDL_GetError();
    EXPECT_EQ(bitmap->w, 64);
    EXPECT_EQ(bitmap->h, 64);
    ASSERT_EQ(bitmap->format->BytesPerPixel, 3);
    auto pixel = [bitmap](int x, int y) {
        const auto* p = static_cast<const uint8_t*>(bitmap->pixels) + y * bitmap->pitch + x * 3;
        return p[0] << 16 | p[1] << 8 | p[2];
    };
    EXPECT_EQ(pixel(0, 0), 0xffffff);
    EXPECT_EQ(pixel(7, 7), 0xffffff);
    EXPECT_EQ(pixel(8, 0), 0);
    EXPECT_EQ(pixel(0, 8), 0);
    EXPECT_EQ(pixel(8, 8), 0xffffff);
    EXPECT_EQ(pixel(63, 0), 0);
    SDL_FreeSurface(bitmap);
}

} // namespace
} // namespace vantrel
