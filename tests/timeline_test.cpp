#include <SDL_image.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "dot_circles.h"
#include "scripted_stream.h"
#include "show_setup.h"
#include "timeline_loop.h"

// The surfaces the timeline loads and creates are tracked through the linker's --wrap.
static std::vector<std::string> installs;  // file names, and "canvas" for a new effect canvas
static std::set<SDL_Surface*> alive;
static bool refuse_canvas = false;

extern "C" {
SDL_Surface* __real_IMG_Load(const char*);
SDL_Surface* __real_SDL_CreateRGBSurface(Uint32, int, int, int, Uint32, Uint32, Uint32, Uint32);
void __real_SDL_FreeSurface(SDL_Surface*);

SDL_Surface* __wrap_IMG_Load(const char* file) {
  installs.push_back(file);
  SDL_Surface* surface = __real_IMG_Load(file);
  if (surface) alive.insert(surface);
  return surface;
}
SDL_Surface* __wrap_SDL_CreateRGBSurface(Uint32 flags, int width, int height, int depth, Uint32 r,
                                         Uint32 g, Uint32 b, Uint32 a) {
  installs.push_back("canvas");
  if (refuse_canvas) return nullptr;
  SDL_Surface* surface = __real_SDL_CreateRGBSurface(flags, width, height, depth, r, g, b, a);
  alive.insert(surface);
  return surface;
}
void __wrap_SDL_FreeSurface(SDL_Surface* surface) {
  alive.erase(surface);
  __real_SDL_FreeSurface(surface);
}
}

namespace {

const char* const picture_files[] = {"step1.png", "this is coffee.png", "the_machine.png",
                                     "q_portal.png", "all_done.png"};

class TimelineTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    SDL_Init(SDL_INIT_VIDEO);
    screen = SDL_SetVideoMode(1024, 768, 32, SDL_HWSURFACE | SDL_DOUBLEBUF);
    // Small pictures of one colour each, under the show's names; IMG_Load reads them by content.
    std::string folder = testing::TempDir() + "timeline_test";
    mkdir(folder.c_str(), 0755);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    for (int i = 0; i < 5; i++) write_picture(picture_files[i], 8, 8, 40 * (i + 1));
  }
  static void TearDownTestSuite() { SDL_Quit(); }
  static void write_picture(const char* file, int width, int height, Uint8 red) {
    SDL_Surface* surface = __real_SDL_CreateRGBSurface(0, width, height, 32, 0, 0, 0, 0);
    SDL_FillRect(surface, nullptr, SDL_MapRGB(surface->format, red, 0, 0));
    SDL_SaveBMP(surface, file);
    __real_SDL_FreeSurface(surface);
  }
  void SetUp() override { ASSERT_TRUE(screen); }
  void TearDown() override {
    if (picture) SDL_FreeSurface(picture);
    picture = nullptr;
    music_stream = nullptr;
  }
  // Runs one pass at the planned positions and returns what it installed.
  ScriptedStream* pass_at(std::vector<int> positions) {
    auto* stream = new ScriptedStream(std::move(positions));
    music_stream = stream;
    installs.clear();
    timeline_pass();
    return stream;
  }
  Uint32 screen_pixel(int x, int y) {
    return static_cast<Uint32*>(screen->pixels)[y * screen->pitch / 4 + x];
  }
};

}  // namespace

TEST_F(TimelineTest, EachRowActsInsideItsWindowOnly) {
  using Installs = std::vector<std::string>;
  const std::pair<int, Installs> cases[] = {
      {0, {"step1.png"}},
      {67119, {"step1.png"}},
      {67120, {"this is coffee.png"}},
      {69120, {"this is coffee.png"}},
      {69121, {}},
      {123122, {}},
      {123123, {"the_machine.png"}},
      {126123, {"the_machine.png"}},
      {126124, {}},
      {189999, {}},
      {190000, {"q_portal.png"}},
      {193123, {"q_portal.png"}},
      {193124, {}},
      {256921, {}},
      {256922, {"canvas"}},
      {505906, {"canvas"}},
      {505907, {"canvas", "all_done.png"}},  // the effect frame is drawn, then replaced
      {508907, {"all_done.png"}},
      {508908, {}},
      {639999, {}},
  };
  for (const auto& [position, expected] : cases) {
    pass_at({position});
    EXPECT_EQ(installs, expected) << "at position " << position;
  }
}

TEST_F(TimelineTest, PastTheEndMarkTheShowExitsWithStatus1) {
  EXPECT_EXIT(pass_at({640000}), testing::ExitedWithCode(1), "");
}

TEST_F(TimelineTest, KeysAreIgnoredAndClosingTheWindowExitsWithStatus3) {
  SDL_Event key{};
  key.type = SDL_KEYDOWN;
  key.key.keysym.sym = SDLK_ESCAPE;
  SDL_PushEvent(&key);
  pass_at({0});
  EXPECT_EQ(installs, std::vector<std::string>{"step1.png"});
  SDL_Event quit{};
  quit.type = SDL_QUIT;
  SDL_PushEvent(&quit);
  EXPECT_EXIT(pass_at({100000}), testing::ExitedWithCode(3), "");
  while (SDL_PollEvent(&quit)) {
  }  // the request went to the child that exited; this process carries on
}

TEST_F(TimelineTest, EveryComparisonReadsTheClockAfreshAndTellsItToPlay) {
  for (auto [position, readings] : {std::pair{0, 7}, {100000, 8}, {300000, 11}, {505907, 12}}) {
    ScriptedStream* stream = pass_at({position});
    EXPECT_EQ(stream->readings, readings) << "at position " << position;
    EXPECT_EQ(stream->plays, readings);
  }
  // Row 1 sees 0, row 2 sees 67120 and then 67121: both act in the same pass.
  pass_at({0, 67120, 67121, 0});
  EXPECT_EQ(installs, (std::vector<std::string>{"step1.png", "this is coffee.png"}));
  // Row 2's first reading passes, its second is past the window: it does not act.
  pass_at({100000, 69000, 69121, 0});
  EXPECT_TRUE(installs.empty());
}

TEST_F(TimelineTest, ReplacedPicturesAreReleasedAndTheLastStaysOnScreen) {
  for (int position : {0, 10, 67120, 67121, 300000, 300001, 505907, 506000}) {
    pass_at({position});
    EXPECT_EQ(alive.size(), 1u) << "at position " << position;
    EXPECT_EQ(alive.count(picture), 1u);
  }
  effect_counter = 100;
  // Between the windows nothing is installed: "all_done.png" stays on screen.
  pass_at({600000});
  EXPECT_EQ(alive.size(), 1u);
  EXPECT_EQ(screen_pixel(0, 0), SDL_MapRGB(screen->format, 200, 0, 0));
}

TEST_F(TimelineTest, ASmallPictureSitsTopLeftOnBlack) {
  pass_at({0});
  EXPECT_EQ(screen_pixel(7, 7), SDL_MapRGB(screen->format, 40, 0, 0));
  EXPECT_EQ(screen_pixel(8, 0), SDL_MapRGB(screen->format, 0, 0, 0));
  EXPECT_EQ(screen_pixel(1023, 767), SDL_MapRGB(screen->format, 0, 0, 0));
}

TEST_F(TimelineTest, AMissingPictureOrCanvasGivesBlackFrames) {
  pass_at({0});
  ASSERT_TRUE(picture);
  std::rename("step1.png", "step1.png.away");
  pass_at({0});
  std::rename("step1.png.away", "step1.png");
  EXPECT_EQ(picture, nullptr);
  EXPECT_TRUE(alive.empty()) << "the previous picture is released all the same";
  EXPECT_EQ(screen_pixel(0, 0), SDL_MapRGB(screen->format, 0, 0, 0));

  refuse_canvas = true;
  int counter = effect_counter;
  pass_at({300000});
  refuse_canvas = false;
  EXPECT_EQ(picture, nullptr);
  EXPECT_EQ(effect_counter, counter) << "no frame is drawn without a canvas";
  EXPECT_EQ(screen_pixel(0, 0), SDL_MapRGB(screen->format, 0, 0, 0));
}
