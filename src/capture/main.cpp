// show-capture OUTPUT [--fps N]: the show, rendered pass by pass by its own timeline, effect and
// presentation code, encoded with its music. Pass k sees the position k * rate / fps of the music,
// at the track's own rate; every pass becomes one frame, and the first pass past the end mark
// ends the capture.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "capture.h"
#include "show_setup.h"
#include "timeline_loop.h"

namespace {

constexpr const char* kMusic = "brimvale.mp3";

// The capture's music clock: whatever the pass reads, it is the pass's position.
struct PassClock : audio::OutputStream {
  int position = 0;
  void play() override {}
  int getPosition() override { return position; }
  void setRepeat(bool) override {}
  bool getRepeat() override { return false; }
  void setVolume(float) override {}
  float getVolume() override { return 1; }
};

// The encoder has already removed what it wrote when one of its calls fails.
[[noreturn]] void fail(int status, const std::string& why) {
  std::fprintf(stderr, "show-capture: %s\n", why.c_str());
  std::exit(status);
}

void on_signal(int signal_number) {
  abandon_encoder();
  _exit(128 + signal_number);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::string output;
  int fps = 60;
  for (int i = 1; i < argc; i++) {
    std::string argument = argv[i];
    if (argument == "--fps" && i + 1 < argc) {
      char* end;
      long value = std::strtol(argv[++i], &end, 10);
      if (*end || value < 1 || value > 1000) fail(2, "--fps takes a whole number from 1 to 1000");
      fps = static_cast<int>(value);
    } else if (output.empty() && !argument.empty() && argument[0] != '-') {
      output = argument;
    } else {
      output.clear();
      break;
    }
  }
  if (output.empty())
    fail(2, "usage: show-capture OUTPUT.mp4|OUTPUT.mkv|OUTPUT.ffv1.mkv [--fps N]");

  audio::RefPtr<audio::SampleSource> source = audio::OpenSampleSource(kMusic);
  if (!source) fail(2, std::string("cannot open \"") + kMusic + "\": " + audio::GetLastError());
  int channels, rate;
  source->getFormat(channels, rate);
  source = nullptr;
  auto position_of_pass = [&](int64_t pass) { return pass * rate / fps; };
  // The show's length up to a pass, as it plays.
  auto music_seconds = [&](int64_t pass) {
    return static_cast<double>(position_of_pass(pass)) / rate;
  };
  int64_t passes = 0;
  while (position_of_pass(passes) <= show_end_mark) passes++;

  // The show's own window surface, on SDL's dummy video driver: no window opens.
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  if (SDL_Init(SDL_INIT_VIDEO) != 0) fail(2, std::string("cannot start SDL: ") + SDL_GetError());
  screen = SDL_SetVideoMode(1024, 768, 32, SDL_SWSURFACE);
  if (!screen) fail(2, std::string("cannot make the frame: ") + SDL_GetError());
  // Frames go to the encoder as 32-bit pixels, blue first; a screen laid out otherwise is
  // converted on the way.
  SDL_PixelFormat* format = screen->format;
  SDL_Surface* frame = format->BytesPerPixel == 4 && format->Rmask == 0xFF0000 &&
                               format->Gmask == 0xFF00 && format->Bmask == 0xFF &&
                               screen->pitch == 1024 * 4
                           ? nullptr
                           : SDL_CreateRGBSurface(0, 1024, 768, 32, 0xFF0000, 0xFF00, 0xFF, 0);
  auto* clock = new PassClock;
  music_stream = clock;

  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  if (!open_encoder(output, kMusic, 1024, 768, fps, position_of_pass(passes)))
    fail(1, encoder_error);
  auto start = std::chrono::steady_clock::now();
  double reported = 0;
  const bool terminal = isatty(2);
  for (int64_t pass = 0; pass < passes; pass++) {
    clock->position = static_cast<int>(position_of_pass(pass));
    timeline_pass();
    if (frame) SDL_BlitSurface(screen, nullptr, frame, nullptr);
    if (!encode_frame((frame ? frame : screen)->pixels)) fail(1, encoder_error);
    double elapsed = seconds_since(start);
    if (pass + 1 == passes || elapsed - reported >= (terminal ? 0.25 : 5)) {
      reported = elapsed;
      std::fprintf(stderr, "%sshow-capture: frame %lld of %lld, %.1fx real time, %.0f s left%s",
                   terminal ? "\r" : "", static_cast<long long>(pass + 1),
                   static_cast<long long>(passes), music_seconds(pass + 1) / elapsed,
                   elapsed / (pass + 1) * (passes - pass - 1), terminal ? "" : "\n");
    }
  }
  if (terminal) std::fprintf(stderr, "\n");
  if (!finish_encoder()) fail(1, encoder_error);
  std::fprintf(stderr,
               "show-capture: wrote \"%s\": %lld frames at %d fps in %.1f s, %.1fx real time\n",
               output.c_str(), static_cast<long long>(passes), fps, seconds_since(start),
               music_seconds(passes) / seconds_since(start));
  music_stream = nullptr;
  if (frame) SDL_FreeSurface(frame);
  SDL_Quit();
  return 0;
}
