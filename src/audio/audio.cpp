// Output device and streams. The device mixes its streams in SDL's audio callback (or, with no
// output, in a thread of its own that keeps the same pace on the steady clock). Each stream has
// a decoder thread that keeps a ring buffer of converted frames ahead of the callback.
#include <SDL.h>
#include <samplerate.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "internal.h"

namespace audio {

namespace {

constexpr int kDeviceRate = 44100;
constexpr int kDeviceChannels = 2;
constexpr int kDeviceBufferFrames = 512;
constexpr int kDecodeChunkFrames = 1024;
constexpr size_t kRingFrames = 32768;  // about 0.75 s ahead of the output

int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Device frames that play in the steady time between two instants (none if it is negative).
int64_t frames_between(int64_t from_ns, int64_t to_ns) {
  int64_t elapsed = std::max<int64_t>(to_ns - from_ns, 0);
  return elapsed / 1000000000 * kDeviceRate + elapsed % 1000000000 * kDeviceRate / 1000000000;
}

// Single producer (decoder thread), single consumer (audio callback), stereo frames.
class FrameRing {
 public:
  FrameRing() : samples_(kRingFrames * kDeviceChannels) {}
  size_t free_frames() const {
    // Acquire: the consumer is done with the slots it has released.
    return kRingFrames -
           (written_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
  }
  void write(const int16_t* frames, size_t count) {
    size_t at = written_.load(std::memory_order_relaxed);
    for (size_t i = 0; i < count * kDeviceChannels; i++)
      samples_[(at * kDeviceChannels + i) % samples_.size()] = frames[i];
    written_.store(at + count, std::memory_order_release);
  }
  size_t read(int16_t* frames, size_t count) {
    size_t at = read_.load(std::memory_order_relaxed);
    count = std::min(count, written_.load(std::memory_order_acquire) - at);
    for (size_t i = 0; i < count * kDeviceChannels; i++)
      frames[i] = samples_[(at * kDeviceChannels + i) % samples_.size()];
    read_.store(at + count, std::memory_order_release);
    return count;
  }

 private:
  std::vector<int16_t> samples_;
  std::atomic<size_t> written_{0}, read_{0};
};

class Device;

class Stream : public OutputStream {
 public:
  Stream(Device* device, SampleSource* source);
  ~Stream() override;
  void play() override;
  void setRepeat(bool repeat) override { repeat_.store(repeat, std::memory_order_relaxed); }
  bool getRepeat() override { return repeat_.load(std::memory_order_relaxed); }
  void setVolume(float volume) override {
    volume_.store(std::clamp(volume, 0.0f, 1.0f), std::memory_order_relaxed);
  }
  float getVolume() override { return volume_.load(std::memory_order_relaxed); }
  int getPosition() override;
  // Audio thread: adds this stream's next frames to mix and advances its clock.
  void render(int32_t* mix, int frame_count, int64_t now_ns);

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

  // The clock, in device frames: base + elapsed steady time since origin, never beyond cap
  // (the frames handed to the output so far). Written by the audio thread under a sequence
  // counter, so that readers take no lock.
  std::atomic<uint32_t> clock_sequence_{0};
  std::atomic<int64_t> clock_base_{0}, clock_origin_ns_{0}, clock_cap_{0};
  std::atomic<int64_t> last_position_{0};
  bool clock_started_ = false;  // audio thread only
};

class Device : public AudioDevice {
 public:
  Device();
  ~Device() override;
  const char* getName() override { return sdl_output_ ? "sdl" : "silent"; }
  void add(Stream* stream);
  void remove(Stream* stream);
  void start();  // first play() of any stream: the output starts pulling frames
  void mix(int16_t* out, int frame_count);

 private:
  static void sdl_callback(void* device, Uint8* out, int bytes);
  void run_silently();

  bool sdl_output_ = false, initialised_sdl_audio_ = false;
  std::atomic<bool> started_{false}, stopping_{false};
  std::thread silent_output_;
  std::mutex streams_mutex_;
  std::vector<Stream*> streams_;
  std::vector<int32_t> mix_;
};

Device* open_device = nullptr;  // SDL has one audio output, so there is one device at a time

Device::Device() {
  SDL_AudioSpec wanted{};
  wanted.freq = kDeviceRate;
  wanted.format = AUDIO_S16SYS;
  wanted.channels = kDeviceChannels;
  wanted.samples = kDeviceBufferFrames;
  wanted.callback = sdl_callback;
  wanted.userdata = this;
  std::string why;
  if (!SDL_WasInit(SDL_INIT_AUDIO)) {
    initialised_sdl_audio_ = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    if (!initialised_sdl_audio_) why = SDL_GetError();
  }
  // Without an 'obtained' argument SDL converts to the hardware's format itself.
  if (SDL_WasInit(SDL_INIT_AUDIO)) {
    sdl_output_ = SDL_OpenAudio(&wanted, nullptr) == 0;
    if (!sdl_output_) why = SDL_GetError();
  }
  if (!sdl_output_) {
    if (why.empty()) why = "SDL's audio did not start";
    std::fprintf(stderr, "audio: no sound output (%s); playing silently\n", why.c_str());
    if (initialised_sdl_audio_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    initialised_sdl_audio_ = false;
  }
}

Device::~Device() {
  if (open_device == this) open_device = nullptr;
  if (sdl_output_) {
    // After SDL_Quit the output is already closed and must not be touched again.
    if (SDL_WasInit(SDL_INIT_AUDIO)) {
      SDL_CloseAudio();
      if (initialised_sdl_audio_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
  } else if (silent_output_.joinable()) {
    stopping_ = true;
    silent_output_.join();
  }
}

void Device::add(Stream* stream) {
  std::lock_guard<std::mutex> lock(streams_mutex_);
  streams_.push_back(stream);
}

void Device::remove(Stream* stream) {
  std::lock_guard<std::mutex> lock(streams_mutex_);
  streams_.erase(std::find(streams_.begin(), streams_.end(), stream));
}

void Device::start() {
  if (started_.exchange(true)) return;
  if (sdl_output_) {
    if (SDL_WasInit(SDL_INIT_AUDIO)) SDL_PauseAudio(0);
  } else {
    silent_output_ = std::thread(&Device::run_silently, this);
  }
}

void Device::mix(int16_t* out, int frame_count) {
  int64_t now = steady_ns();
  mix_.assign(static_cast<size_t>(frame_count) * kDeviceChannels, 0);
  {
    std::lock_guard<std::mutex> lock(streams_mutex_);
    for (Stream* stream : streams_) stream->render(mix_.data(), frame_count, now);
  }
  for (size_t i = 0; i < mix_.size(); i++)
    out[i] = static_cast<int16_t>(std::clamp<int32_t>(mix_[i], INT16_MIN, INT16_MAX));
}

void Device::sdl_callback(void* device, Uint8* out, int bytes) {
  static_cast<Device*>(device)->mix(reinterpret_cast<int16_t*>(out),
                                    bytes / (kDeviceChannels * sizeof(int16_t)));
}

// Pulls buffers at the output's pace on an absolute schedule, so that it never drifts.
void Device::run_silently() {
  std::vector<int16_t> discarded(kDeviceBufferFrames * kDeviceChannels);
  auto start = std::chrono::steady_clock::now();
  for (int64_t buffers = 1; !stopping_; buffers++) {
    mix(discarded.data(), kDeviceBufferFrames);
    std::this_thread::sleep_until(start + std::chrono::nanoseconds(buffers * kDeviceBufferFrames *
                                                                   1000000000LL / kDeviceRate));
  }
}

Stream::Stream(Device* device, SampleSource* source) : device_(device), source_(source) {
  source->getFormat(source_channels_, source_rate_);
  source_frames_.resize(kDecodeChunkFrames * source_channels_);
  stereo_frames_.resize(kDecodeChunkFrames * kDeviceChannels);
  float_frames_.resize(kDecodeChunkFrames * kDeviceChannels);
  if (source_rate_ != kDeviceRate) {
    int error = 0;
    resampler_ = src_callback_new(feed_resampler, SRC_SINC_FASTEST, kDeviceChannels, &error, this);
  }
  device->add(this);
  decoder_ = std::thread(&Stream::decode_ahead, this);
}

Stream::~Stream() {
  device_->remove(this);
  {
    std::lock_guard<std::mutex> lock(decoder_mutex_);
    stopping_ = true;
  }
  decoder_wake_.notify_all();
  decoder_.join();
  if (resampler_) src_delete(resampler_);
}

void Stream::play() {
  if (playing_.load(std::memory_order_relaxed)) return;
  playing_.store(true, std::memory_order_release);
  device_->start();
}

// Reads source frames and makes them stereo; at the end of the track starts again if repeating.
int Stream::read_stereo(int16_t* frames, int frame_count) {
  int count = source_->read(frame_count, source_frames_.data());
  if (count == 0 && repeat_.load(std::memory_order_relaxed)) {
    source_->reset();
    count = source_->read(frame_count, source_frames_.data());
  }
  for (int i = 0; i < count; i++) {
    const int16_t* in = &source_frames_[i * source_channels_];
    frames[i * 2] = in[0];
    frames[i * 2 + 1] = source_channels_ > 1 ? in[1] : in[0];
  }
  return count;
}

long Stream::feed_resampler(void* stream, float** data) {
  auto* self = static_cast<Stream*>(stream);
  int count = self->read_stereo(self->stereo_frames_.data(), kDecodeChunkFrames);
  src_short_to_float_array(self->stereo_frames_.data(), self->float_frames_.data(),
                           count * kDeviceChannels);
  *data = self->float_frames_.data();
  return count;
}

void Stream::decode_ahead() {
  std::vector<int16_t> frames(kDecodeChunkFrames * kDeviceChannels);
  std::vector<float> resampled(kDecodeChunkFrames * kDeviceChannels);
  const double ratio = static_cast<double>(kDeviceRate) / source_rate_;
  std::unique_lock<std::mutex> lock(decoder_mutex_);
  while (!stopping_) {
    if (ended_ || ring_.free_frames() < kDecodeChunkFrames) {
      decoder_wake_.wait_for(lock, std::chrono::milliseconds(5));
      continue;
    }
    long count;
    if (resampler_) {
      count = src_callback_read(resampler_, ratio, kDecodeChunkFrames, resampled.data());
      src_float_to_short_array(resampled.data(), frames.data(), count * kDeviceChannels);
    } else {
      count = read_stereo(frames.data(), kDecodeChunkFrames);
    }
    if (count > 0)
      ring_.write(frames.data(), count);
    else
      ended_.store(true, std::memory_order_release);
  }
}

void Stream::publish_clock(int64_t base, int64_t origin_ns, int64_t cap) {
  uint32_t sequence = clock_sequence_.load(std::memory_order_relaxed);
  clock_sequence_.store(sequence + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  clock_base_.store(base, std::memory_order_relaxed);
  clock_origin_ns_.store(origin_ns, std::memory_order_relaxed);
  clock_cap_.store(cap, std::memory_order_relaxed);
  clock_sequence_.store(sequence + 2, std::memory_order_release);
}

void Stream::render(int32_t* mix, int frame_count, int64_t now_ns) {
  if (!playing_.load(std::memory_order_acquire)) return;
  // Read the end flag first: once it is set, everything decoded is already in the ring.
  bool ended = ended_.load(std::memory_order_acquire);
  render_frames_.resize(static_cast<size_t>(frame_count) * kDeviceChannels);
  size_t count = ring_.read(render_frames_.data(), frame_count);
  float volume = volume_.load(std::memory_order_relaxed);
  for (size_t i = 0; i < count * kDeviceChannels; i++)
    mix[i] += volume == 1.0f ? render_frames_[i] : static_cast<int32_t>(render_frames_[i] * volume);

  // After the end the track plays silence and the clock goes on; an underrun holds it instead.
  int64_t handed = clock_cap_.load(std::memory_order_relaxed);
  int64_t base = clock_base_.load(std::memory_order_relaxed);
  int64_t origin = clock_origin_ns_.load(std::memory_order_relaxed);
  int64_t due = base + frames_between(origin, now_ns);
  // The clock runs on the steady clock, but an output that falls behind it pulls it back.
  if (!clock_started_ || due > handed) {
    clock_started_ = true;
    base = handed;
    origin = now_ns;
  }
  publish_clock(base, origin, handed + (ended ? frame_count : static_cast<int64_t>(count)));
}

int Stream::getPosition() {
  int64_t base, origin, cap;
  uint32_t sequence;
  do {
    sequence = clock_sequence_.load(std::memory_order_acquire);
    base = clock_base_.load(std::memory_order_relaxed);
    origin = clock_origin_ns_.load(std::memory_order_relaxed);
    cap = clock_cap_.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
  } while ((sequence & 1) || sequence != clock_sequence_.load(std::memory_order_relaxed));

  int64_t device_frames = std::min(cap, base + frames_between(origin, steady_ns()));
  int64_t position = device_frames * source_rate_ / kDeviceRate;
  int64_t last = last_position_.load(std::memory_order_relaxed);
  while (position > last && !last_position_.compare_exchange_weak(last, position)) {
  }
  return static_cast<int>(std::min<int64_t>(std::max(position, last), INT_MAX));
}

}  // namespace

AudioDevice* OpenDevice(const char* name, const char*) {
  if (name && *name && std::string(name) != "sdl") {
    set_last_error(std::string("unknown audio device \"") + name + "\"");
    return nullptr;
  }
  if (!open_device) open_device = new Device();
  return open_device;
}

OutputStream* OpenSound(AudioDevice* device, SampleSource* source, bool streaming) {
  if (!device || !source) {
    set_last_error(device ? "no sample source" : "no audio device");
    return nullptr;
  }
  RefPtr<SampleSource> held(source);  // a caller's unowned source is released with the stream
  if (!streaming) held = load_into_memory(source);
  return new Stream(static_cast<Device*>(device), held.get());
}

}  // namespace audio
