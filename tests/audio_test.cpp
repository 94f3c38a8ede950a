#include "audio.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "output.h"
#include "test_tracks.h"

using namespace audio;
using Clock = std::chrono::steady_clock;

namespace {

std::string scratch(const std::string& name) {
  return testing::TempDir() + "audio_test_" + name;
}

void sleep_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Opens a device on the given SDL audio driver and a streaming sound of the file.
struct Player {
  RefPtr<AudioDevice> device;
  RefPtr<OutputStream> stream;
  Player(const char* driver, const std::string& path) {
    setenv("SDL_AUDIODRIVER", driver, 1);
    device = OpenDevice();
    RefPtr<SampleSource> source = OpenSampleSource(path.c_str(), FF_AUTODETECT);
    if (source) stream = OpenSound(device.get(), source.get(), true);
  }
};

std::string wav_sine(const std::string& name, int rate, int channels, double seconds) {
  std::string path = scratch(name + ".wav");
  write_track(path, kWav16, rate, channels, static_cast<int64_t>(seconds * rate), sine(440, rate));
  return path;
}

// Reads the clock about every millisecond for the given time; checks it never goes backwards,
// never moves faster than the steady time between two readings, and keeps its distance to the
// steady clock. Each reading is bracketed by steady times, so that a preempted test thread
// cannot make a sound clock look wrong.
void check_clock(OutputStream* stream, int rate, double seconds) {
  stream->play();
  auto start = Clock::now(), previous_before = start;
  int previous = stream->getPosition();
  double largest_jump = 0, largest_drift = 0, offset = NAN;
  while (seconds_since(start) < seconds) {
    sleep_ms(1);
    auto before = Clock::now();
    int position = stream->getPosition();
    auto after = Clock::now();
    EXPECT_GE(position, previous);
    double window = std::chrono::duration<double>(after - previous_before).count();
    largest_jump = std::max(largest_jump, (position - previous) / double(rate) - window);
    previous = position;
    previous_before = before;
    // Once the output runs, the two clocks keep their distance.
    double at = std::chrono::duration<double>(before - start + (after - before) / 2).count();
    if (at < 0.1) continue;
    if (std::isnan(offset)) offset = at - position / double(rate);
    largest_drift = std::max(largest_drift, std::abs(at - position / double(rate) - offset));
  }
  EXPECT_LT(largest_jump, 0.001) << "seconds that the clock moved beyond the steady time";
#ifdef __SANITIZE_ADDRESS__
  // The sanitizer build judges no time: the output's own thread runs slowed too, and on a slow
  // host it underruns (56 ms in 10 s once), which the clock rightly follows.
  if (largest_drift >= 0.020) std::printf("drift not judged in the sanitizer build\n");
#else
  EXPECT_LT(largest_drift, 0.020) << "seconds of drift from the steady clock";
#endif
  std::printf(
      "clock at %d Hz: largest jump %.2f ms beyond the steady time, drift %.2f ms in %.0f s\n",
      rate, largest_jump * 1000, largest_drift * 1000, seconds);
}

}  // namespace

namespace {
struct Counted {
  std::vector<std::string>* log;
  std::string name;
  void ref() { log->push_back("ref " + name); }
  void unref() { log->push_back("unref " + name); }
};
}  // namespace

TEST(RefPtrTest, FollowsTheHandleRule) {
  std::vector<std::string> log;
  Counted a{&log, "a"}, b{&log, "b"};
  {
    RefPtr<Counted> handle;
    EXPECT_FALSE(handle);
    handle = &a;
    handle = &a;  // the same object: nothing happens
    handle = &b;
    RefPtr<Counted> copy(handle);
    copy = nullptr;
    EXPECT_EQ(handle.get(), &b);
  }
  EXPECT_EQ(log,
            (std::vector<std::string>{"ref a", "unref a", "ref b", "ref b", "unref b", "unref b"}));
}

TEST(RefPtrTest, ObjectsDeleteThemselvesAtTheLastRelease) {
  static int alive = 0;
  struct Object : RefCounted {
    Object() { alive++; }
    ~Object() override { alive--; }
  };
  RefPtr<Object> first = new Object;
  RefPtr<Object> second = first;
  first = nullptr;
  EXPECT_EQ(alive, 1);
  second = nullptr;
  EXPECT_EQ(alive, 0);
}

TEST(SampleSourceTest, DecodesWavExactlyAndMp3) {
  std::string wav = wav_sine("decode", 44100, 2, 0.5);
  RefPtr<SampleSource> source = OpenSampleSource(wav.c_str());
  ASSERT_TRUE(source);
  int channels, rate;
  source->getFormat(channels, rate);
  EXPECT_EQ(channels, 2);
  EXPECT_EQ(rate, 44100);
  std::vector<int16_t> decoded(22050 * 2 + 2);
  EXPECT_EQ(source->read(22051, decoded.data()), 22050);
  decoded.resize(22050 * 2);
  EXPECT_EQ(decoded, read_track(wav));

  std::string mp3 = scratch("decode.mp3");
  write_track(mp3, kMp3, 44100, 2, 44100, sine(1000, 44100));
  source = OpenSampleSource(mp3.c_str(), FF_AUTODETECT);
  ASSERT_TRUE(source);
  std::vector<int16_t> frames(44100 * 2 * 2);
  int count = source->read(44100 * 2, frames.data());
  EXPECT_NEAR(count, 44100, 2000);  // the encoder pads a little
  frames.resize(count * 2);
  EXPECT_NEAR(crossings_per_second(frames, 2, 44100), 2000, 40);
}

TEST(SampleSourceTest, MissingEmptyAndGarbageFilesGiveNullWithAReason) {
  EXPECT_FALSE(OpenSampleSource(scratch("missing.mp3").c_str()));
  EXPECT_STREQ(GetLastError(), "No such file or directory");

  std::string empty = scratch("empty.mp3");
  std::ofstream(empty).close();
  EXPECT_FALSE(OpenSampleSource(empty.c_str()));
  EXPECT_STRNE(GetLastError(), "");

  std::string garbage = scratch("garbage.mp3");
  std::ofstream out(garbage, std::ios::binary);
  uint32_t state = 12345;
  for (int i = 0; i < 100000; i++)
    out.put(static_cast<char>((state = state * 1664525 + 1013904223) >> 24));
  out.close();
  EXPECT_FALSE(OpenSampleSource(garbage.c_str()));
  EXPECT_STRNE(GetLastError(), "");
}

TEST(ClockTest, StartsAtFirstPlayThenFollowsTheSteadyClockSmoothly) {
  // A track shorter than the measurement: the clock goes on through the silence after it.
  Player player("dummy", wav_sine("clock", 44100, 2, 3));
  ASSERT_TRUE(player.stream);
  EXPECT_STREQ(player.device->getName(), "sdl");
  sleep_ms(100);
  EXPECT_EQ(player.stream->getPosition(), 0);
  check_clock(player.stream.get(), 44100, 10);
}

TEST(ClockTest, GoesOnOnTimeWhenTheOutputStopsPulling) {
  // As SDL's output does when its sound server goes away: the silent output takes over.
  Player player("dummy", wav_sine("lost", 44100, 2, 1));
  ASSERT_TRUE(player.stream);
  player.stream->play();
  auto start = Clock::now();
  sleep_ms(500);
  SDL_PauseAudio(1);
  sleep_ms(1500);
  double behind = seconds_since(start) - player.stream->getPosition() / 44100.0;
  std::printf("the output stopped at 0.5 s; at 2 s the clock is %.1f ms behind the steady time\n",
              behind * 1000);
  EXPECT_NEAR(behind, 0, 0.03);
  check_clock(player.stream.get(), 44100, 1);
}

TEST(ClockTest, SilentFallbackKeepsTheSameClock) {
  Player player("no-such-driver", wav_sine("silent", 44100, 2, 1));
  ASSERT_TRUE(player.stream);
  EXPECT_STREQ(player.device->getName(), "silent");
  EXPECT_EQ(player.stream->getPosition(), 0);
  check_clock(player.stream.get(), 44100, 2);
}

TEST(ClockTest, CountsAtTheTracksOwnRate) {
  for (int rate : {22050, 48000}) {
    Player player("dummy", wav_sine("rate", rate, 1, 1));
    ASSERT_TRUE(player.stream);
    check_clock(player.stream.get(), rate, 1.5);
  }
}

TEST(HeardScheduleTest, FollowsTheServersLatencySmoothlyAndIgnoresASpike) {
  // The first write fills the server's buffer with 100 ms, which start to play at once; then the
  // server takes 441 frames every 10 ms and reports which frame is being heard.
  constexpr int64_t ms = 1000000;
  HeardSchedule schedule;
  int64_t now = 0, written = 4410, previous_at = 0;
  EXPECT_EQ(schedule.next(now, 0, 0, 4410), now);
  auto write = [&](int64_t reported_latency) {  // returns the latency the schedule gives
    int64_t heard = written - reported_latency * 44100 / 1000000000;
    int64_t at = schedule.next(now, written, heard, 441);
    if (previous_at) {
      EXPECT_LE(previous_at + 10 * ms - at, ms) << "moved earlier by over 1 ms";
    }
    previous_at = at;
    written += 441;
    now += 10 * ms;
    return at - (now - 10 * ms);
  };
  for (int i = 0; i < 10; i++) EXPECT_NEAR(write(100 * ms), 100 * ms, ms / 10);
  write(180 * ms);  // one report out of line
  for (int i = 0; i < 5; i++) EXPECT_NEAR(write(100 * ms), 100 * ms, ms / 10);
  // An underrun: the sound is heard 50 ms later from now on. The schedule follows at the third
  // report, so that one late report alone cannot move it.
  EXPECT_NEAR(write(150 * ms), 100 * ms, ms / 10);
  EXPECT_NEAR(write(150 * ms), 100 * ms, ms / 10);
  for (int i = 0; i < 5; i++) EXPECT_NEAR(write(150 * ms), 150 * ms, ms / 10);
  // The latency shrinks by 20 ms: the schedule catches up a little at each write.
  int writes = 0;
  while (write(130 * ms) > 130 * ms + ms / 10 && writes < 100) writes++;
  EXPECT_NEAR(writes, 22, 3);
  for (int i = 0; i < 5; i++) EXPECT_NEAR(write(130 * ms), 130 * ms, ms / 10);
  // The stream was corked for a second: the server's first report after it counts at once.
  now += 1000 * ms;
  previous_at = 0;
  EXPECT_NEAR(write(60 * ms), 60 * ms, ms / 10);
  for (int i = 0; i < 5; i++) write(60 * ms);
  // A write 300 ms late, on a busy host: the server's buffer ran dry 240 ms ago and it has
  // played all it had. These frames are heard from now on, not 240 ms ago as the schedule ran.
  now += 300 * ms;
  previous_at = 0;
  EXPECT_NEAR(write(0), 0, ms / 10);
}

namespace {
// Plays the file to SDL's disk driver for the given time and returns what was written.
std::vector<int16_t> play_to_disk(const std::string& path, double seconds, bool repeat = false) {
  std::string output = scratch("disk.raw");
  setenv("SDL_DISKAUDIOFILE", output.c_str(), 1);
  {
    Player player("disk", path);
    EXPECT_TRUE(player.stream);
    if (!player.stream) return {};
    sleep_ms(100);  // a short track is decoded to its end by now
    player.stream->setRepeat(repeat);
    player.stream->setVolume(1.0f);
    player.stream->play();
    sleep_ms(static_cast<int>(seconds * 1000));
  }
  std::ifstream in(output, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// The output is silent until play(): where the track begins.
size_t track_start(const std::vector<int16_t>& samples) {
  return std::find_if(samples.begin(), samples.end(), [](int16_t s) { return s != 0; }) -
         samples.begin();
}

// What was played, less its silent frames: those before play() and after the track, and any
// where the decoder fell behind on a busy host (an underrun plays silence and loses nothing).
std::vector<int16_t> sounding(const std::vector<int16_t>& samples) {
  std::vector<int16_t> sound;
  for (size_t i = 0; i + 1 < samples.size(); i += 2)
    if (samples[i] != 0 || samples[i + 1] != 0)
      sound.insert(sound.end(), {samples[i], samples[i + 1]});
  return sound;
}
}  // namespace

TEST(OutputTest, DiskDriverGetsTheTrackFromItsFirstFrameOnceAtFullVolume) {
  std::string path = scratch("exact.wav");
  write_track(path, kWav16, 44100, 2, 22050, noise());
  std::vector<int16_t> track = read_track(path);
  std::vector<int16_t> written = play_to_disk(path, 1.0);
  ASSERT_GE(written.size(), track_start(written) + track.size() + 4410);  // it went on after
  EXPECT_TRUE(sounding(written) == track);
}

TEST(OutputTest, RepeatLoopsTheTrack) {
  std::string path = scratch("loop.wav");
  write_track(path, kWav16, 44100, 2, 11025, noise());
  std::vector<int16_t> track = read_track(path);
  std::vector<int16_t> sound = sounding(play_to_disk(path, 0.8, true));
  ASSERT_GE(sound.size(), 2 * track.size());
  EXPECT_TRUE(std::equal(track.begin(), track.end(), sound.begin()));
  EXPECT_TRUE(std::equal(track.begin(), track.end(), sound.begin() + track.size()));
}

TEST(OutputTest, OtherRatesAndMonoPlayAtTheRightSpeedAndPitch) {
  for (auto [rate, channels] : {std::pair{22050, 1}, {48000, 2}, {44100, 1}}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channels");
    std::string path = scratch("pitch.wav");
    write_track(path, kWav16, rate, channels, rate / 2, sine(1000, rate));
    std::vector<int16_t> written = play_to_disk(path, 0.8);
    // Half a second of sound at 44 100 frames a second, then silence.
    size_t last = written.size();
    while (last > 0 && std::abs(written[last - 1]) < 100) last--;
    written.erase(written.begin() + last, written.end());
    written.erase(written.begin(), written.begin() + track_start(written));
    EXPECT_NEAR(written.size() / 2.0, 22050, 300);
    EXPECT_NEAR(crossings_per_second(written, 2, 44100), 2000, 20);
  }
}

TEST(ShutdownTest, ReleasingAfterSdlQuitIsSafe) {
  Player player("dummy", wav_sine("quit", 44100, 2, 1));
  ASSERT_TRUE(player.stream);
  player.stream->play();
  sleep_ms(100);
  SDL_Quit();
  player.stream = nullptr;
  player.device = nullptr;
  // And the library still works afterwards.
  Player again("dummy", wav_sine("quit", 44100, 2, 1));
  ASSERT_TRUE(again.stream);
  again.stream->play();
  sleep_ms(100);
  EXPECT_GT(again.stream->getPosition(), 0);
}
