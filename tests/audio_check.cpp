// Audio helpers for the end-to-end tests. What the show played is raw 16-bit stereo at
// 44 100 Hz, as SDL's disk driver writes it.
//   audio_check matches TRACK PLAYED SECONDS  the played sound is the track, sample for sample,
//                                             from its first sound, for SECONDS
//   audio_check sound PLAYED SECONDS          the played sound lasts SECONDS (within 0.25 s)
//   audio_check make OUT wav|ogg|flac|mp3 RATE CHANNELS SECONDS   writes a test track
//   audio_check clicks OUT                    writes a 44 100 Hz track with a click at each
//                                             position where the picture changes
//   audio_check record OUT                    copies raw 16-bit stereo 44 100 Hz sound from stdin
//                                             to OUT, and when it arrived to OUT.times
//   audio_check onsets RECORDED               prints which click each click in a recording is,
//                                             and its wall time
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "test_tracks.h"

namespace {

std::vector<int16_t> read_played(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> played(bytes.size() / 2);
  std::copy_n(reinterpret_cast<const int16_t*>(bytes.data()), played.size(), played.begin());
  return played;
}

size_t first_sound(const std::vector<int16_t>& samples) {
  size_t i = 0;
  while (i < samples.size() && samples[i] == 0) i++;
  return i & ~size_t{1};  // the start of that frame
}

int matches(const char* track_path, const char* played_path, double seconds) {
  std::vector<int16_t> track = read_track(track_path), played = read_played(played_path);
  size_t track_at = first_sound(track), played_at = first_sound(played);
  size_t wanted = static_cast<size_t>(seconds * 44100) * 2;
  if (played.size() - played_at < wanted || track.size() - track_at < wanted) {
    std::printf("played %.2f s of sound, wanted %.2f s\n", (played.size() - played_at) / 88200.0,
                seconds);
    return 1;
  }
  for (size_t i = 0; i < wanted; i++)
    if (played[played_at + i] != track[track_at + i]) {
      std::printf("played differs from the track %.4f s after its first sound\n", i / 88200.0);
      return 1;
    }
  std::printf(
      "played the track exactly for %.1f s from its first sound (after %.3f s of silence)\n",
      seconds, played_at / 88200.0);
  return 0;
}

int lasts(const char* played_path, double seconds) {
  std::vector<int16_t> played = read_played(played_path);
  auto loud = [](int16_t s) { return std::abs(s) > 100; };
  size_t first = std::find_if(played.begin(), played.end(), loud) - played.begin();
  size_t last = played.rend() - std::find_if(played.rbegin(), played.rend(), loud);
  double sound = last > first ? (last - first) / 88200.0 : 0;
  std::printf("played %.2f s of sound, then %.2f s of silence\n", sound,
              (played.size() - last) / 88200.0);
  return std::abs(sound - seconds) <= 0.25 ? 0 : 1;
}

int make(const char* path, const std::string& kind, int rate, int channels, double seconds) {
  const std::map<std::string, int> formats = {{"wav", kWav16},
                                              {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
                                              {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                                              {"mp3", kMp3}};
  write_track(path, formats.at(kind), rate, channels, static_cast<int64_t>(seconds * rate),
              sine(440, rate, 0.3));
  return 0;
}

// Where the picture changes, and one mark 0.1 s before the end (at the end itself the show may
// exit while the click is being heard).
const int64_t kClickPositions[] = {0, 67120, 123123, 190000, 256922, 505907, 635590};

int clicks(const char* path) {
  // 3 ms of a 2 kHz tone at each position: short and loud, with silence between.
  write_track(path, kWav16, 44100, 2, 700000, [](int64_t i, int) -> int16_t {
    for (int64_t at : kClickPositions)
      if (i >= at && i < at + 132)
        return static_cast<int16_t>(20000 * std::sin(2 * M_PI * 2000 * (i - at) / 44100.0));
    return 0;
  });
  return 0;
}

double wall_seconds() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec + now.tv_nsec * 1e-9;
}

// Records sound from stdin, and beside it (OUT.times) when each chunk arrived: the wall time and
// the frames received by then.
int record(const char* path) {
  FILE* out = std::fopen(path, "wb");
  FILE* times = std::fopen((std::string(path) + ".times").c_str(), "w");
  if (!out || !times) return 1;
  char buffer[4096];
  int64_t bytes = 0;
  for (ssize_t count; (count = read(0, buffer, sizeof buffer)) > 0;) {
    double now = wall_seconds();
    std::fwrite(buffer, 1, count, out);
    bytes += count;
    std::fprintf(times, "%.6f %lld\n", now, static_cast<long long>(bytes / 4));
  }
  std::fclose(out);
  std::fclose(times);
  return 0;
}

// The track's click within 0.3 s of SECONDS into the track (the closest two are 1.27 s apart), or
// -1.
int click_near(double seconds) {
  for (int i = 0; i < static_cast<int>(std::size(kClickPositions)); i++)
    if (std::abs(seconds - kClickPositions[i] / 44100.0) < 0.3) return i;
  return -1;
}

// A frame played no later than any chunk that holds it or follows it arrived, less the frames in
// between; the promptest chunk in the half second after it bounds it most tightly. Looking only
// nearby keeps a recording that lost or gained frames elsewhere from shifting the estimate.
// Prints each click heard as "INDEX TIME POSITION": which of the track's clicks it is (1 to 7, 0
// for a sound at none), found by lining the track's clicks up with the most heard ones.
int onsets(const char* path) {
  std::vector<int16_t> played = read_played(path);
  std::vector<std::pair<double, int64_t>> arrivals;
  FILE* times = std::fopen((std::string(path) + ".times").c_str(), "r");
  if (!times) return 1;
  double at;
  long long frames;
  while (std::fscanf(times, "%lf %lld", &at, &frames) == 2) arrivals.emplace_back(at, frames);
  std::fclose(times);
  // A click is the first loud frame after at least 50 ms of quiet.
  std::vector<double> heard;
  size_t quiet = 0;
  for (size_t frame = 0; frame < played.size() / 2; frame++) {
    bool loud = std::abs(played[frame * 2]) > 2000;
    if (loud && quiet >= 2205) {
      double played_at = 1e300;
      for (const auto& [arrived, received] : arrivals)
        if (received > static_cast<int64_t>(frame) &&
            received <= static_cast<int64_t>(frame) + 22050)
          played_at = std::min(played_at, arrived - (received - frame) / 44100.0);
      heard.push_back(played_at);
    }
    quiet = loud ? 0 : quiet + 1;
  }
  double track_start = 0;
  long best = -1;
  for (double candidate : heard)
    for (int64_t position : kClickPositions) {
      double start = candidate - position / 44100.0;
      long matched = std::count_if(heard.begin(), heard.end(),
                                   [&](double t) { return click_near(t - start) >= 0; });
      if (matched > best) best = matched, track_start = start;
    }
  for (double t : heard) {
    int click = click_near(t - track_start);
    std::printf("%d %.6f %lld\n", click + 1, t,
                static_cast<long long>(click >= 0 ? kClickPositions[click] : -1));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "matches" && argc == 5) return matches(argv[2], argv[3], std::atof(argv[4]));
  if (mode == "sound" && argc == 4) return lasts(argv[2], std::atof(argv[3]));
  if (mode == "make" && argc == 7)
    return make(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]), std::atof(argv[6]));
  if (mode == "clicks" && argc == 3) return clicks(argv[2]);
  if (mode == "record" && argc == 3) return record(argv[2]);
  if (mode == "onsets" && argc == 3) return onsets(argv[2]);
  std::fprintf(stderr, "usage: see the top of audio_check.cpp\n");
  return 2;
}
