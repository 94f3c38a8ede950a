#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"

namespace audio {

namespace {

thread_local std::string last_error;

class FileSource : public SampleSource {
 public:
  FileSource(int descriptor, SNDFILE* file, const SF_INFO& info)
      : descriptor_(descriptor), file_(file), info_(info) {}
  ~FileSource() override {
    sf_close(file_);
    close(descriptor_);
  }
  void getFormat(int& channel_count, int& sample_rate) override {
    channel_count = info_.channels;
    sample_rate = info_.samplerate;
  }
  int read(int frame_count, int16_t* buffer) override {
    return static_cast<int>(sf_readf_short(file_, buffer, frame_count));
  }
  void reset() override { sf_seek(file_, 0, SEEK_SET); }

 private:
  int descriptor_;
  SNDFILE* file_;
  SF_INFO info_;
};

class MemorySource : public SampleSource {
 public:
  MemorySource(std::vector<int16_t> samples, int channel_count, int sample_rate)
      : samples_(std::move(samples)), channel_count_(channel_count), sample_rate_(sample_rate) {}
  void getFormat(int& channel_count, int& sample_rate) override {
    channel_count = channel_count_;
    sample_rate = sample_rate_;
  }
  int read(int frame_count, int16_t* buffer) override {
    size_t wanted = static_cast<size_t>(frame_count) * channel_count_;
    size_t count = std::min(wanted, samples_.size() - next_);
    std::copy_n(samples_.begin() + next_, count, buffer);
    next_ += count;
    return static_cast<int>(count / channel_count_);
  }
  void reset() override { next_ = 0; }

 private:
  std::vector<int16_t> samples_;
  int channel_count_, sample_rate_;
  size_t next_ = 0;
};

}  // namespace

void set_last_error(const std::string& text) {
  last_error = text;
}

const char* GetLastError() {
  return last_error.c_str();
}

SampleSource* OpenSampleSource(const char* filename, FileFormat) {
  if (!filename) {
    set_last_error("no file name");
    return nullptr;
  }
  int descriptor = open(filename, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    set_last_error(std::strerror(errno));
    return nullptr;
  }
  SF_INFO info{};
  SNDFILE* file = sf_open_fd(descriptor, SFM_READ, &info, SF_FALSE);
  if (!file) {
    set_last_error(sf_strerror(nullptr));
    close(descriptor);
    return nullptr;
  }
  // A header alone is not a track: make sure at least one frame decodes.
  std::vector<int16_t> probe(std::max(info.channels, 1));
  if (info.channels <= 0 || info.samplerate <= 0 || sf_readf_short(file, probe.data(), 1) != 1 ||
      sf_seek(file, 0, SEEK_SET) != 0) {
    set_last_error("no audio frames could be decoded");
    sf_close(file);
    close(descriptor);
    return nullptr;
  }
  return new FileSource(descriptor, file, info);
}

SampleSource* load_into_memory(SampleSource* source) {
  int channel_count, sample_rate;
  source->getFormat(channel_count, sample_rate);
  std::vector<int16_t> samples;
  std::vector<int16_t> chunk(4096 * channel_count);
  source->reset();
  while (int frames = source->read(4096, chunk.data()))
    samples.insert(samples.end(), chunk.begin(), chunk.begin() + frames * channel_count);
  return new MemorySource(std::move(samples), channel_count, sample_rate);
}

}  // namespace audio
