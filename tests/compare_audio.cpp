// Checks that what the show played (raw 16-bit stereo at 44 100 Hz, as SDL's disk driver writes
// it) holds the track from its first sound onwards, sample for sample, for the given seconds.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "test_tracks.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: compare_audio TRACK PLAYED.raw SECONDS\n");
    return 2;
  }
  std::vector<int16_t> track = read_track(argv[1]);
  std::ifstream in(argv[2], std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> played(bytes.size() / 2);
  std::copy_n(reinterpret_cast<const int16_t*>(bytes.data()), played.size(), played.begin());

  auto first_sound = [](const std::vector<int16_t>& samples) {
    size_t i = 0;
    while (i < samples.size() && samples[i] == 0) i++;
    return i & ~size_t{1};  // the start of that frame
  };
  size_t track_at = first_sound(track), played_at = first_sound(played);
  size_t wanted = static_cast<size_t>(std::atof(argv[3]) * 44100) * 2;
  if (played.size() - played_at < wanted || track.size() - track_at < wanted) {
    std::printf("played %.2f s of sound, wanted %s s\n", (played.size() - played_at) / 88200.0,
                argv[3]);
    return 1;
  }
  for (size_t i = 0; i < wanted; i++)
    if (played[played_at + i] != track[track_at + i]) {
      std::printf("played differs from the track %.4f s after its first sound\n", i / 88200.0);
      return 1;
    }
  std::printf("played the track exactly for %s s from its first sound (after %.3f s of silence)\n",
              argv[3], played_at / 88200.0);
  return 0;
}
