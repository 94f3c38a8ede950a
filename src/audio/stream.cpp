// Output streams: a decoder thread keeps a ring of converted frames ahead of the mix, and the
// stream's clock follows what the mix has taken.
#include <algorithm>
#include <chrono>
#include <climits>

#include "internal.h"

namespace audio {

namespace {

constexpr int kDecodeChunkFrames = 1024;
constexpr size_t kRingFrames = 32768;  // about 0.75 s ahead of the output

// Output frames that play in the steady time between two instants (negative if to_ns is earlier).
int64_t frames_between(int64_t from_ns, int64_t to_ns) {
  int64_t elapsed = to_ns - from_ns;
  return elapsed / 1000000000 * kOutputRate + elapsed % 1000000000 * kOutputRate / 1000000000;
}

}  // namespace

FrameRing::FrameRing() : samples_(kRingFrames * kOutputChannels) {}

size_t FrameRing::free_frames() const {
  // Acquire: the consumer is done with the slots it has released.
  return kRingFrames -
         (written_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
}

void FrameRing::write(const int16_t* frames, size_t count) {
  size_t at = written_.load(std::memory_order_relaxed);
  for (size_t i = 0; i < count * kOutputChannels; i++)
    samples_[(at * kOutputChannels + i) % samples_.size()] = frames[i];
  written_.store(at + count, std::memory_order_release);
}

size_t FrameRing::read(int16_t* frames, size_t count) {
  size_t at = read_.load(std::memory_order_relaxed);
  count = std::min(count, written_.load(std::memory_order_acquire) - at);
  for (size_t i = 0; i < count * kOutputChannels; i++)
    frames[i] = samples_[(at * kOutputChannels + i) % samples_.size()];
  read_.store(at + count, std::memory_order_release);
  return count;
}

Stream::Stream(Device* device, SampleSource* source) : device_(device), source_(source) {
  source->getFormat(source_channels_, source_rate_);
  source_frames_.resize(kDecodeChunkFrames * source_channels_);
  stereo_frames_.resize(kDecodeChunkFrames * kOutputChannels);
  float_frames_.resize(kDecodeChunkFrames * kOutputChannels);
  if (source_rate_ != kOutputRate) {
    int error = 0;
    resampler_ = src_callback_new(feed_resampler, SRC_SINC_FASTEST, kOutputChannels, &error, this);
  }
  device->add(this);
  decoder_ = std::thread(&Stream::decode_ahead, this);
  // The track's first frames are ready before the stream can play, so that the output's first
  // buffers hold them rather than silence (which would start the sound late).
  auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  while (ring_.free_frames() == kRingFrames && !ended_.load(std::memory_order_acquire) &&
         std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
                           count * kOutputChannels);
  *data = self->float_frames_.data();
  return count;
}

void Stream::decode_ahead() {
  std::vector<int16_t> frames(kDecodeChunkFrames * kOutputChannels);
  std::vector<float> resampled(kDecodeChunkFrames * kOutputChannels);
  const double ratio = static_cast<double>(kOutputRate) / source_rate_;
  std::unique_lock<std::mutex> lock(decoder_mutex_);
  while (!stopping_) {
    if (ended_ || ring_.free_frames() < kDecodeChunkFrames) {
      decoder_wake_.wait_for(lock, std::chrono::milliseconds(5));
      continue;
    }
    long count;
    if (resampler_) {
      count = src_callback_read(resampler_, ratio, kDecodeChunkFrames, resampled.data());
      src_float_to_short_array(resampled.data(), frames.data(), count * kOutputChannels);
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

void Stream::render(int32_t* mix, int frame_count, int64_t at_ns, bool heard) {
  if (!playing_.load(std::memory_order_acquire)) return;
  // Read the end flag first: once it is set, everything decoded is already in the ring.
  bool ended = ended_.load(std::memory_order_acquire);
  render_frames_.resize(static_cast<size_t>(frame_count) * kOutputChannels);
  size_t count = ring_.read(render_frames_.data(), frame_count);
  float volume = volume_.load(std::memory_order_relaxed);
  for (size_t i = 0; i < count * kOutputChannels; i++)
    mix[i] += volume == 1.0f ? render_frames_[i] : static_cast<int32_t>(render_frames_[i] * volume);

  // After the end the track plays silence and the clock goes on; an underrun holds it instead.
  int64_t handed = clock_cap_.load(std::memory_order_relaxed);
  int64_t base = clock_base_.load(std::memory_order_relaxed);
  int64_t origin = clock_origin_ns_.load(std::memory_order_relaxed);
  int64_t due = base + frames_between(origin, at_ns);
  // The clock runs on the steady clock, but an output that falls behind it pulls it back. Times
  // of hearing are already smooth, and the clock follows them as they are.
  if (!clock_started_ || heard || due > handed) {
    clock_started_ = true;
    base = handed;
    origin = at_ns;
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

  // Before origin (frames that will be heard later) the reading lies below base; it never drops
  // below an earlier one, and holds at 0 until the first frame is heard.
  int64_t device_frames = std::min(cap, base + frames_between(origin, steady_ns()));
  int64_t position = device_frames * source_rate_ / kOutputRate;
  int64_t last = last_position_.load(std::memory_order_relaxed);
  while (position > last && !last_position_.compare_exchange_weak(last, position)) {
  }
  return static_cast<int>(std::min<int64_t>(std::max(position, last), INT_MAX));
}

void Stream::setRepeat(bool repeat) {
  repeat_.store(repeat, std::memory_order_relaxed);
  // A short track may be decoded to its end before repeat is set: while its end has not played
  // yet, decoding goes on from its start.
  std::lock_guard<std::mutex> lock(decoder_mutex_);
  if (repeat && ended_ && ring_.free_frames() < kRingFrames) {
    ended_.store(false, std::memory_order_release);
    decoder_wake_.notify_all();
  }
}

void Stream::setVolume(float volume) {
  volume_.store(std::clamp(volume, 0.0f, 1.0f), std::memory_order_relaxed);
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
