// Writes short tracks for tests, in any format libsndfile can write.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Sample of channel c at frame i, in -32768..32767.
using SampleAt = std::function<int16_t(int64_t i, int c)>;

void write_track(const std::string& path, int format, int rate, int channels, int64_t frames,
                 const SampleAt& sample);
// A sine of the given frequency and amplitude (0..1), the same on every channel.
SampleAt sine(double frequency, int rate, double amplitude = 0.5);
// Full-scale noise that starts with a non-zero sample: any lost, doubled or scaled sample shows.
SampleAt noise();
// All interleaved samples of a file, with its rate and channel count.
std::vector<int16_t> read_track(const std::string& path, int* rate = nullptr,
                                int* channels = nullptr);
// Zero crossings per second of one channel of interleaved frames.
double crossings_per_second(const std::vector<int16_t>& samples, int channels, int rate);

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int kMp3 = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
