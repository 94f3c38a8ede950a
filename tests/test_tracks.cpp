#include "test_tracks.h"

#include <cmath>
#include <memory>
#include <stdexcept>

void write_track(const std::string& path, int format, int rate, int channels, int64_t frames,
                 const SampleAt& sample) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) throw std::runtime_error(path + ": " + sf_strerror(nullptr));
  std::vector<int16_t> samples(frames * channels);
  for (int64_t i = 0; i < frames; i++)
    for (int c = 0; c < channels; c++) samples[i * channels + c] = sample(i, c);
  if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
    // libsndfile's MP3 encoder mangles 16-bit input; it takes floats well.
    std::vector<float> floats(samples.begin(), samples.end());
    for (float& f : floats) f /= 32768;
    sf_writef_float(file, floats.data(), frames);
  } else {
    sf_writef_short(file, samples.data(), frames);
  }
  sf_close(file);
}

SampleAt sine(double frequency, int rate, double amplitude) {
  return [=](int64_t i, int) {
    return static_cast<int16_t>(amplitude * 32767 * std::sin(2 * M_PI * frequency * i / rate));
  };
}

SampleAt noise() {
  auto state = std::make_shared<uint32_t>(1);
  return [=](int64_t, int) { return static_cast<int16_t>((*state = *state * 69069 + 1) >> 16); };
}

std::vector<int16_t> read_track(const std::string& path, int* rate, int* channels) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) throw std::runtime_error(path + ": " + sf_strerror(nullptr));
  std::vector<int16_t> samples(info.frames * info.channels);
  samples.resize(sf_readf_short(file, samples.data(), info.frames) * info.channels);
  sf_close(file);
  if (rate) *rate = info.samplerate;
  if (channels) *channels = info.channels;
  return samples;
}

double crossings_per_second(const std::vector<int16_t>& samples, int channels, int rate) {
  // With some hysteresis, so that noise around zero does not count.
  int crossings = 0;
  bool positive = false;
  size_t frames = samples.size() / channels;
  for (size_t i = 0; i < frames; i++) {
    int16_t sample = samples[i * channels];
    if ((positive && sample < -1000) || (!positive && sample > 1000)) {
      positive = !positive;
      crossings++;
    }
  }
  return frames ? crossings * static_cast<double>(rate) / frames : 0;
}
