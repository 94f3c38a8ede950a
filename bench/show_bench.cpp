// What one pass of the show costs, by stretch of the timeline, and its parts. Run it in a real
// (virtual) X window for figures that include the flip: xvfb-run -a build/bench/show_bench
#include <SDL_image.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include "desktop.h"
#include "dot_circles.h"
#include "scripted_stream.h"
#include "show_setup.h"
#include "test_tracks.h"
#include "timeline_loop.h"

namespace {

void open_window() {
  if (screen) return;
  if (!getenv("DISPLAY")) setenv("SDL_VIDEODRIVER", "dummy", 1);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  prepare_desktop();
  SDL_Init(SDL_INIT_VIDEO);
  screen = SDL_SetVideoMode(1024, 768, 32, SDL_HWSURFACE | SDL_DOUBLEBUF);
  if (chdir(MEDIA_DIR) != 0) abort();
}

void install_canvas() {
  if (picture) SDL_FreeSurface(picture);
  picture = SDL_CreateRGBSurface(0, 1024, 768, 32, 0, 0, 0, 0);
}

// The counter value whose frame has the most dots.
int counter_with_most_dots() {
  int best = 0, most = 0;
  for (int counter = 0; counter < 1023; counter++) {
    int dots = 0;
    for (int phase = 0; phase <= 1022; phase += 50) {
      int r = (phase + counter) % 1023;
      dots += r > 0 ? 157 * r / 25 + 1 : 0;
    }
    if (dots > most) most = dots, best = counter;
  }
  return best;
}

void BM_EffectFrame(benchmark::State& state) {
  open_window();
  install_canvas();
  int counter = state.range(0) ? counter_with_most_dots() : 100;
  for (auto _ : state) {
    effect_counter = counter;
    effect_frame();
  }
  state.SetLabel("counter " + std::to_string(counter));
}
BENCHMARK(BM_EffectFrame)->Arg(0)->Arg(1)->ArgName("most_dots")->Unit(benchmark::kMillisecond);

// One whole pass at a fixed position: 0 loads "step1.png", 300000 draws an effect frame,
// 100000 lies between windows and only presents the picture on screen.
void BM_Pass(benchmark::State& state) {
  open_window();
  install_canvas();
  effect_counter = 100;
  music_stream = new ScriptedStream({static_cast<int>(state.range(0))});
  for (auto _ : state) timeline_pass();
  music_stream = nullptr;
}
BENCHMARK(BM_Pass)
    ->ArgName("position")
    ->Arg(0)
    ->Arg(300000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

void BM_PresentFrame(benchmark::State& state) {
  open_window();
  if (picture) SDL_FreeSurface(picture);
  picture = IMG_Load("step1.png");
  for (auto _ : state) present_frame();
}
BENCHMARK(BM_PresentFrame)->Unit(benchmark::kMillisecond);

// What answering the window manager costs a pass.
void BM_HandleWindowEvents(benchmark::State& state) {
  for (auto _ : state) handle_window_events();
}
BENCHMARK(BM_HandleWindowEvents)->Unit(benchmark::kMicrosecond);

void BM_MusicPosition(benchmark::State& state) {
  open_window();
  std::string track = "/tmp/show_bench_track.wav";
  write_track(track, kWav16, 44100, 2, 44100, sine(440, 44100));
  audio_device = audio::OpenDevice();
  music_stream = audio::OpenSound(audio_device.get(), audio::OpenSampleSource(track.c_str()), true);
  for (auto _ : state) benchmark::DoNotOptimize(music_position());
  music_stream = nullptr;
  audio_device = nullptr;
}
BENCHMARK(BM_MusicPosition);

}  // namespace

BENCHMARK_MAIN();
