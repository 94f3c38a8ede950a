#include "dot_circles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "timeline_loop.h"

// Every dot maps its colour once: counting the calls counts the dots.
static int colour_mappings = 0;
extern "C" Uint32 __real_SDL_MapRGB(const SDL_PixelFormat*, Uint8, Uint8, Uint8);
extern "C" Uint32 __wrap_SDL_MapRGB(const SDL_PixelFormat* format, Uint8 r, Uint8 g, Uint8 b) {
  colour_mappings++;
  return __real_SDL_MapRGB(format, r, g, b);
}

namespace {

struct Circle {
  int phase, cx, cy, green;
};
// Centres and greens of the 21 circles, worked out by hand from the sines and cosines.
const Circle circles[] = {{0, 0, 192, 192},       {50, -100, 185, 37},   {100, -194, 165, 155},
                          {150, -274, 134, 104},  {200, -335, 93, 236},  {250, -372, 46, 162},
                          {300, -383, -4, 125},   {350, -368, -54, 90},  {400, -326, -100, 38},
                          {450, -262, -140, 142}, {500, -179, -169, 26}, {550, -84, -187, 233},
                          {600, 16, -191, 81},    {650, 117, -182, 63},  {700, 208, -161, 143},
                          {750, 286, -128, 158},  {800, 343, -86, 253},  {850, 376, -37, 163},
                          {900, 383, 12, 115},    {950, 363, 62, 85},    {1000, 317, 107, 86}};

SDL_Surface* canvas(int width = 1024, int height = 768) {
  return SDL_CreateRGBSurface(0, width, height, 32, 0, 0, 0, 0);
}

Uint32 pixel(SDL_Surface* surface, int x, int y) {
  return static_cast<Uint32*>(surface->pixels)[y * surface->pitch / 4 + x];
}

// Dots a circle of radius r gets: k runs while k < r * 6.28 exactly.
int dot_count(int r) {
  return r >= 1 ? 157 * r / 25 + 1 : 0;
}

// The frame drawn with the given counter, circle after circle, later dots over earlier ones.
std::vector<Uint32> expected_frame(SDL_Surface* surface, int counter) {
  std::vector<Uint32> frame(1024 * 768, SDL_MapRGB(surface->format, 0, 0, 0));
  for (const Circle& circle : circles) {
    int r = (circle.phase + counter) % 1023;
    for (int k = 0; k < dot_count(r); k++) {
      int x = static_cast<int>(std::cos(k) * r + circle.cx);
      int y = static_cast<int>(std::sin(k) * r + circle.cy);
      if (x >= 0 && x < 1024 && y >= 0 && y < 768)
        frame[y * 1024 + x] = SDL_MapRGB(surface->format, 0, circle.green, 0);
    }
  }
  return frame;
}

std::vector<Uint32> pixels_of(SDL_Surface* surface) {
  std::vector<Uint32> frame;
  for (int y = 0; y < 768; y++)
    for (int x = 0; x < 1024; x++) frame.push_back(pixel(surface, x, y));
  return frame;
}

class DotCirclesTest : public testing::Test {
 protected:
  void SetUp() override { picture = canvas(); }
  void TearDown() override {
    SDL_FreeSurface(picture);
    picture = nullptr;
  }
};

}  // namespace

TEST_F(DotCirclesTest, FramesFromTheFirstOnDrawTheCirclesAndGrowByOne) {
  ASSERT_EQ(effect_counter, 100);
  int dots = 0;
  for (const Circle& circle : circles) dots += dot_count((circle.phase + 100) % 1023);
  colour_mappings = 0;
  effect_frame();
  EXPECT_EQ(colour_mappings, dots) << "a colour mapped for every dot, inside the canvas or not";
  EXPECT_EQ(effect_counter, 101);
  EXPECT_EQ(pixels_of(picture), expected_frame(picture, 100));

  SDL_FillRect(picture, nullptr, 0);
  effect_frame();
  EXPECT_EQ(effect_counter, 102);
  EXPECT_EQ(pixels_of(picture), expected_frame(picture, 101));

  // The first circle's radius wraps to 0 and it draws nothing.
  SDL_FillRect(picture, nullptr, 0);
  effect_counter = 1023;
  effect_frame();
  EXPECT_EQ(pixels_of(picture), expected_frame(picture, 1023));
  effect_counter = 100;
}

TEST_F(DotCirclesTest, DotCountsFollowTheExactProduct) {
  // radius: dots, where a product rounded to double would stop one short at multiples of 25
  for (auto [radius, dots] : {std::pair{100, 629},
                              {25, 158},
                              {24, 151},
                              {26, 164},
                              {1, 7},
                              {1000, 6281},
                              {0, 0},
                              {-7, 0}}) {
    colour_mappings = 0;
    draw_dot_circle(picture, 512, 384, radius, 255, 255, 255);
    EXPECT_EQ(colour_mappings, dots) << "radius " << radius;
  }
}

TEST_F(DotCirclesTest, PixelsOutsideTheCanvasOrTheSurfaceAreNotWritten) {
  SDL_Surface* large = canvas(1100, 800);
  for (auto [x, y] : {std::pair{-1, 0}, {0, -1}, {1024, 0}, {0, 768}, {1050, 790}})
    put_pixel(large, x, y, 255, 255, 255);
  for (int y = 0; y < 800; y++)
    for (int x = 0; x < 1100; x++) ASSERT_EQ(pixel(large, x, y), 0u) << x << "," << y;
  put_pixel(large, 1023, 767, 255, 255, 255);
  EXPECT_NE(pixel(large, 1023, 767), 0u);
  SDL_FreeSurface(large);

  // A surface smaller than the canvas: nothing lands beyond its own edges.
  SDL_Surface* small = canvas(10, 10);
  put_pixel(small, 10, 0, 255, 255, 255);
  put_pixel(small, 0, 10, 255, 255, 255);
  put_pixel(small, 9, 9, 255, 255, 255);
  for (int y = 0; y < 10; y++)
    for (int x = 0; x < 10; x++) EXPECT_EQ(pixel(small, x, y) != 0, x == 9 && y == 9);
  SDL_FreeSurface(small);
}
