// show-capture end to end: a lossless capture at 25 frames a second, decoded again with FFmpeg
// and checked frame by frame against the pictures and the effect, and its sound against the
// music; and how it fails.
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dot_circles.h"
#include "test_tracks.h"
#include "timeline_loop.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFps = 25;
constexpr size_t kFramePixels = 1024 * 768;

// Runs show-capture with the arguments in the current folder; returns its exit status and
// leaves its stderr in "capture.log".
int capture(const std::string& arguments, const std::string& environment = "") {
  int status =
      std::system((environment + " " SHOW_CAPTURE " " + arguments + " 2>capture.log").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string log_text() {
  std::ifstream in("capture.log");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CaptureTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    fs::path folder = testing::TempDir() + "capture_test";
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (const auto& file : fs::directory_iterator(MEDIA_DIR)) fs::copy(file.path(), folder);
    ASSERT_EQ(chdir(folder.c_str()), 0);
  }
};

// The pass count: pass k sees position k * rate / fps; the first past the end mark ends it.
int expected_frames() {
  int k = 0;
  while (int64_t{k} * 44100 / kFps <= show_end_mark) k++;
  return k;
}

// A picture file as the show presents it: on black, at the top-left corner, 32-bit.
std::vector<Uint32> presented(const char* file) {
  SDL_Surface* screen = SDL_CreateRGBSurface(0, 1024, 768, 32, 0xFF0000, 0xFF00, 0xFF, 0);
  SDL_Surface* picture = IMG_Load(file);
  SDL_BlitSurface(picture, nullptr, screen, nullptr);
  std::vector<Uint32> pixels(static_cast<Uint32*>(screen->pixels),
                             static_cast<Uint32*>(screen->pixels) + kFramePixels);
  SDL_FreeSurface(picture);
  SDL_FreeSurface(screen);
  return pixels;
}

// A lossless capture into FILE holds every pass as drawn, and the music.
void expect_lossless(const std::string& file) {
  ASSERT_EQ(capture(file + " --fps " + std::to_string(kFps)), 0) << log_text();

  // Pictures in their stretches, effect frames as effect_frame draws them from counter 100 on.
  const std::vector<Uint32> pictures[] = {presented("step1.png"), presented("this is coffee.png"),
                                          presented("the_machine.png"), presented("q_portal.png"),
                                          presented("all_done.png")};
  // The stretches in which each picture stays on screen; the effect is drawn from 256922.
  const int stretch_ends[] = {67119, 123122, 189999, 256921, 505906, show_end_mark};
  SDL_Surface* canvas = SDL_CreateRGBSurface(0, 1024, 768, 32, 0xFF0000, 0xFF00, 0xFF, 0);

  FILE* frames =
      popen(("ffmpeg -v error -i " + file + " -f rawvideo -pix_fmt bgr0 -").c_str(), "r");
  ASSERT_TRUE(frames);
  std::vector<Uint32> frame(kFramePixels);
  int count = 0, effect_frames = 0, wrong = 0;
  for (; std::fread(frame.data(), 4, kFramePixels, frames) == kFramePixels; count++) {
    for (Uint32& pixel : frame) pixel &= 0xFFFFFF;
    int position = static_cast<int>(int64_t{count} * 44100 / kFps), stretch = 0;
    while (position > stretch_ends[stretch]) stretch++;
    const std::vector<Uint32>* expected = stretch < 4 ? &pictures[stretch] : &pictures[4];
    std::vector<Uint32> drawn;
    if (stretch == 4) {
      SDL_FillRect(canvas, nullptr, 0);
      picture = canvas;
      effect_counter = 100 + effect_frames++;
      effect_frame();
      picture = nullptr;
      drawn.assign(static_cast<Uint32*>(canvas->pixels),
                   static_cast<Uint32*>(canvas->pixels) + kFramePixels);
      expected = &drawn;
    }
    if (frame != *expected && wrong++ < 5)
      ADD_FAILURE() << "frame " << count << " (position " << position << ") differs";
  }
  pclose(frames);
  SDL_FreeSurface(canvas);
  EXPECT_EQ(count, expected_frames());
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(effect_frames, 100);
  std::printf("%d frames checked, %d of them effect frames from counter 100 on\n", count,
              effect_frames);

  // The sound: the music from its start, cut where the show ends.
  std::vector<int16_t> music = read_track("brimvale.mp3"), sound(music.size() + 100000);
  FILE* decoded = popen(("ffmpeg -v error -i " + file + " -map 0:a -f s16le -").c_str(), "r");
  ASSERT_TRUE(decoded);
  sound.resize(std::fread(sound.data(), 2, sound.size(), decoded));
  pclose(decoded);
  // The show ends at the end pass's position.
  EXPECT_EQ(sound.size() / 2, int64_t{expected_frames()} * 44100 / kFps);
  // Two MP3 decoders (FFmpeg's and libsndfile's) agree to within rounding.
  int largest = 0;
  for (size_t i = 0; i < sound.size() && i < music.size(); i++)
    largest = std::max(largest, std::abs(sound[i] - music[i]));
  EXPECT_LE(largest, 8) << "largest difference from the music, in 16-bit steps";
  std::printf("the sound holds the music to within %d steps of 16 bits\n", largest);
}

}  // namespace

// Lossless RGB H.264, and FFV1 for archives.
TEST_F(CaptureTest, LosslessCaptureHoldsEveryPassAsDrawnAndTheMusic) {
  expect_lossless("capture.mkv");
}
TEST_F(CaptureTest, Ffv1CaptureHoldsEveryPassAsDrawnAndTheMusic) {
  expect_lossless("capture.ffv1.mkv");
}

TEST_F(CaptureTest, Mp4HoldsH264AndAac) {
  ASSERT_EQ(capture("capture.mp4 --fps 4"), 0) << log_text();
  FILE* probe =
      popen("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 capture.mp4", "r");
  char codecs[64] = {};
  ASSERT_TRUE(probe);
  codecs[std::fread(codecs, 1, sizeof codecs - 1, probe)] = 0;
  pclose(probe);
  EXPECT_STREQ(codecs, "h264\naac\n");
}

TEST_F(CaptureTest, FailuresSayWhyInOneLineAndLeaveNoFile) {
  struct Case {
    std::string arguments, environment;
    int status;
    std::string message;
  };
  fs::create_directories("fake");
  std::ofstream("fake/ffmpeg")
      << "#!/bin/sh\nhead -c 100 >/dev/null\necho 'out of ideas' >&2\nexit 1\n";
  fs::permissions("fake/ffmpeg", fs::perms::owner_all);
  const Case cases[] = {
      {"", "", 2,
       "show-capture: usage: show-capture OUTPUT.mp4|OUTPUT.mkv|OUTPUT.ffv1.mkv [--fps N]"},
      {"out.mkv --fps 0", "", 2, "show-capture: --fps takes a whole number from 1 to 1000"},
      {"out.mkv extra", "", 2,
       "show-capture: usage: show-capture OUTPUT.mp4|OUTPUT.mkv|OUTPUT.ffv1.mkv [--fps N]"},
      {"out.avi", "", 1,
       "show-capture: \"out.avi\": the output must end in .mp4, .mkv or .ffv1.mkv"},
      {"no/such/folder/out.mkv", "", 1,
       "show-capture: cannot write \"no/such/folder/out.mkv\": No such file or directory"},
      {"out.mkv", "PATH=$PWD/fake:$PATH", 1, "show-capture: the encoder stopped: out of ideas"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(capture(c.arguments, c.environment), c.status) << c.arguments;
    EXPECT_EQ(log_text(), c.message + "\n") << c.arguments;
    EXPECT_FALSE(fs::exists("out.mkv") || fs::exists("out.mkv.partial")) << c.arguments;
  }
  fs::rename("brimvale.mp3", "away.mp3");
  EXPECT_EQ(capture("out.mkv"), 2);
  fs::rename("away.mp3", "brimvale.mp3");
  EXPECT_EQ(log_text(), "show-capture: cannot open \"brimvale.mp3\": No such file or directory\n");
}
