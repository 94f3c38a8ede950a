// The cost of what the show does thousands of times a second: play() and getPosition().
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>

#include "audio.h"
#include "test_tracks.h"

static void BM_PlayAndGetPosition(benchmark::State& state) {
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  std::string path = "/tmp/audio_bench_track.wav";
  write_track(path, kWav16, 44100, 2, 44100, sine(440, 44100));
  audio::RefPtr<audio::AudioDevice> device = audio::OpenDevice();
  audio::RefPtr<audio::OutputStream> stream =
      audio::OpenSound(device.get(), audio::OpenSampleSource(path.c_str()), true);
  stream->play();
  for (auto _ : state) {
    stream->play();
    benchmark::DoNotOptimize(stream->getPosition());
  }
}
BENCHMARK(BM_PlayAndGetPosition);

BENCHMARK_MAIN();
