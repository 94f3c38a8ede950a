// Shared between the files of the audio library only.
#pragma once

#include <samplerate.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio.h"
#include "output.h"

namespace audio {

void set_last_error(const std::string& text);
// Decodes the whole of source into memory and returns a source that reads from there.
SampleSource* load_into_memory(SampleSource* source);

class Stream;

// Mixes its streams for its output: the sound server's or SDL's, with the silent output standing
// by in case it stops pulling, or the silent output alone when neither opens.
class Device : public AudioDevice {
 public:
  Device();
  ~Device() override;
  const char* getName() override { return name_; }
  void add(Stream* stream);
  void remove(Stream* stream);
  void start();  // first play() of any stream: the outputs start pulling

 private:
  void mix(int16_t* out, int frame_count, int64_t at_ns, bool heard);

  std::atomic<bool> started_{false};
  std::mutex mix_mutex_;  // the streams, and one output mixing at a time
  std::vector<Stream*> streams_;
  std::vector<int32_t> mix_;
  std::unique_ptr<Output> output_, silent_output_;
  const char* name_ = "silent";
};

// Single producer (decoder thread), single consumer (the mix), stereo frames.
class FrameRing {
 public:
  FrameRing();
  size_t free_frames() const;
  void write(const int16_t* frames, size_t count);
  size_t read(int16_t* frames, size_t count);

 private:
  std::vector<int16_t> samples_;
  std::atomic<size_t> written_{0}, read_{0};
};

class Stream : public OutputStream {
 public:
  Stream(Device* device, SampleSource* source);
  ~Stream() override;
  void play() override;
  void setRepeat(bool repeat) override;
  bool getRepeat() override { return repeat_.load(std::memory_order_relaxed); }
  void setVolume(float volume) override;
  float getVolume() override { return volume_.load(std::memory_order_relaxed); }
  int getPosition() override;
  // Called by the mix: adds this stream's next frames, which play from at_ns (heard: as the
  // listener hears them, see PullFrames), and advances its clock.
  void render(int32_t* mix, int frame_count, int64_t at_ns, bool heard);

 private:
  void decode_ahead();
  int read_stereo(int16_t* frames, int frame_count);
  static long feed_resampler(void* stream, float** data);
  void publish_clock(int64_t base, int64_t origin_ns, int64_t cap);

  RefPtr<Device> device_;
  RefPtr<SampleSource> source_;
  int source_channels_ = 0, source_rate_ = 0;
  SRC_STATE* resampler_ = nullptr;
  std::vector<int16_t> source_frames_, stereo_frames_, render_frames_;
  std::vector<float> float_frames_;
  FrameRing ring_;
  std::atomic<bool> playing_{false}, repeat_{false}, ended_{false}, stopping_{false};
  std::atomic<float> volume_{1.0f};
  std::mutex decoder_mutex_;
  std::condition_variable decoder_wake_;
  std::thread decoder_;

  // The clock, in output frames: base + steady time since origin (negative before it), never
  // beyond cap (the frames handed to the output so far). Written by the mix under a sequence
  // counter, so that readers take no lock.
  std::atomic<uint32_t> clock_sequence_{0};
  std::atomic<int64_t> clock_base_{0}, clock_origin_ns_{0}, clock_cap_{0};
  std::atomic<int64_t> last_position_{0};
  bool clock_started_ = false;  // the mix only
};

}  // namespace audio
