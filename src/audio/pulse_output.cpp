// The desktop's sound server through libpulse: PulseAudio, or PipeWire through pipewire-pulse.
// libpulse's main-loop thread asks for frames as the server's buffer drains, and reports which
// of the frames written the listener is hearing now, the server's and the device's latency
// included.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>

#include "output.h"

namespace audio {

namespace {

constexpr int kFrameBytes = kOutputChannels * sizeof(int16_t);
// A server answers in milliseconds; one that has not set up the stream by then is stuck (a
// server without its session manager, say), and waiting longer would hold the show.
constexpr pa_usec_t kSetUpUsec = 3 * PA_USEC_PER_SEC;
// The latency the stream asks for: short, so that a lost server loses little sound, but roomy
// enough for a busy host. The clock allows for whatever the server grants, and a user's
// PULSE_LATENCY_MSEC replaces it.
constexpr pa_usec_t kLatencyUsec = 40 * PA_USEC_PER_MSEC;
// The most a write moves the schedule earlier: the clocks then run at most 1 ms a write fast.
constexpr int64_t kCatchUpNs = 1000000;

int64_t ns_for(int64_t frames) {
  return frames * 1000000000 / kOutputRate;
}

class PulseOutput : public Output {
 public:
  explicit PulseOutput(PullFrames pull) : pull_(std::move(pull)) {}
  ~PulseOutput() override {
    if (mainloop_) pa_threaded_mainloop_stop(mainloop_);
    if (stream_) {
      pa_stream_set_state_callback(stream_, nullptr, nullptr);
      pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
    }
    if (context_) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    if (mainloop_) pa_threaded_mainloop_free(mainloop_);
  }

  ServerAnswer open() {
    mainloop_ = pa_threaded_mainloop_new();
    if (!mainloop_) return ServerAnswer::none;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), "show");
    if (!context_) return ServerAnswer::none;
    pa_context_set_state_callback(context_, on_context_state, this);
    // A show starts no sound server of its own.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(mainloop_) < 0)
      return ServerAnswer::none;
    pa_threaded_mainloop_lock(mainloop_);
    pa_usec_t deadline = pa_rtclock_now() + kSetUpUsec;
    pa_time_event* timer = pa_context_rttime_new(context_, deadline, on_deadline, this);
    ServerAnswer answer = set_up(deadline);
    pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
    pa_threaded_mainloop_unlock(mainloop_);
    return answer;
  }

  // The stream starts corked and empty, so that nothing plays before the music: here it is filled
  // with the mix's first frames and let go.
  void start() override {
    pa_threaded_mainloop_lock(mainloop_);
    started_ = true;
    if (!lost()) {
      size_t writable = pa_stream_writable_size(stream_);
      if (writable != static_cast<size_t>(-1)) write(writable);
      if (pa_operation* uncork = pa_stream_cork(stream_, 0, nullptr, nullptr))
        pa_operation_unref(uncork);
    }
    pa_threaded_mainloop_unlock(mainloop_);
  }
  int64_t last_pull_ns() const override { return last_pull_ns_.load(std::memory_order_relaxed); }
  bool lost() const override { return lost_.load(std::memory_order_relaxed); }

 private:
  // With the main loop locked: waits for the context, then the stream, until the deadline.
  ServerAnswer set_up(pa_usec_t deadline) {
    auto wait = [&](auto state, auto settled) {
      while (!settled(state()) && pa_rtclock_now() < deadline) pa_threaded_mainloop_wait(mainloop_);
      return state();
    };
    pa_context_state_t context_state =
        wait([&] { return pa_context_get_state(context_); },
             [](pa_context_state_t s) { return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s); });
    if (context_state != PA_CONTEXT_READY)
      return PA_CONTEXT_IS_GOOD(context_state) ? ServerAnswer::too_late : ServerAnswer::none;

    pa_sample_spec format = {PA_SAMPLE_S16NE, kOutputRate, kOutputChannels};
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "music");
    stream_ = pa_stream_new_with_proplist(context_, "music", &format, nullptr, properties);
    pa_proplist_free(properties);
    if (!stream_) return ServerAnswer::none;
    pa_stream_set_state_callback(stream_, on_stream_state, this);
    pa_stream_set_write_callback(stream_, on_write, this);
    pa_buffer_attr buffer;
    buffer.maxlength = buffer.prebuf = buffer.minreq = buffer.fragsize = static_cast<uint32_t>(-1);
    buffer.tlength = static_cast<uint32_t>(pa_usec_to_bytes(kLatencyUsec, &format));
    auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_INTERPOLATE_TIMING |
                                       PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(stream_, nullptr, &buffer, flags, nullptr, nullptr) < 0)
      return ServerAnswer::none;
    pa_stream_state_t stream_state =
        wait([&] { return pa_stream_get_state(stream_); },
             [](pa_stream_state_t s) { return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s); });
    if (stream_state != PA_STREAM_READY)
      return PA_STREAM_IS_GOOD(stream_state) ? ServerAnswer::too_late : ServerAnswer::none;
    return ServerAnswer::yes;
  }

  // Main-loop thread, locked: fills bytes of the server's buffer from the mix.
  void write(size_t bytes) {
    while (bytes >= kFrameBytes) {
      void* data = nullptr;
      size_t size = bytes;
      if (pa_stream_begin_write(stream_, &data, &size) < 0 || !data) return;
      int count = static_cast<int>(std::min(size, bytes) / kFrameBytes);
      if (count == 0) {
        pa_stream_cancel_write(stream_);
        return;
      }
      int64_t now = steady_ns();
      pa_usec_t played_usec = 0;
      int64_t heard = pa_stream_get_time(stream_, &played_usec) == 0
                          ? static_cast<int64_t>(played_usec) * kOutputRate / PA_USEC_PER_SEC
                          : -1;
      pull_(static_cast<int16_t*>(data), count, schedule_.next(now, written_, heard, count), true);
      last_pull_ns_.store(now, std::memory_order_relaxed);
      pa_stream_write(stream_, data, static_cast<size_t>(count) * kFrameBytes, nullptr, 0,
                      PA_SEEK_RELATIVE);
      written_ += count;
      bytes -= static_cast<size_t>(count) * kFrameBytes;
    }
  }

  static void on_write(pa_stream*, size_t bytes, void* output) {
    auto* self = static_cast<PulseOutput*>(output);
    if (self->started_) self->write(bytes);
  }
  static void on_context_state(pa_context* context, void* output) {
    auto* self = static_cast<PulseOutput*>(output);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) self->lost_ = true;
    pa_threaded_mainloop_signal(self->mainloop_, 0);
  }
  static void on_stream_state(pa_stream* stream, void* output) {
    auto* self = static_cast<PulseOutput*>(output);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) self->lost_ = true;
    pa_threaded_mainloop_signal(self->mainloop_, 0);
  }
  static void on_deadline(pa_mainloop_api*, pa_time_event*, const timeval*, void* output) {
    pa_threaded_mainloop_signal(static_cast<PulseOutput*>(output)->mainloop_, 0);
  }

  PullFrames pull_;
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  bool started_ = false;  // under the main loop's lock, as are the two below
  int64_t written_ = 0;
  HeardSchedule schedule_;
  std::atomic<bool> lost_{false};
  std::atomic<int64_t> last_pull_ns_{0};
};

}  // namespace

int64_t HeardSchedule::next(int64_t now_ns, int64_t written, int64_t heard, int count) {
  // After a long gap (the stream was corked, or the process stopped) the schedule starts afresh.
  if (now_ns - last_write_ns_ > kStalledNs) started_ = false;
  last_write_ns_ = now_ns;
  if (heard >= 0 || !started_) {
    // Where the server's report puts the first of these frames.
    int64_t estimate = now_ns + ns_for(written - std::max<int64_t>(heard, 0));
    if (!started_) {
      started_ = true;
      next_at_ns_ = estimate;
      error_count_ = 0;
    } else {
      errors_[error_count_++ % errors_.size()] = estimate - next_at_ns_;
      size_t known = std::min(error_count_, errors_.size());
      std::array<int64_t, 5> sorted = errors_;
      std::sort(sorted.begin(), sorted.begin() + known);
      int64_t correction = std::max(sorted[(known - 1) / 2], -kCatchUpNs);
      next_at_ns_ += correction;
      for (size_t i = 0; i < known; i++) errors_[i] -= correction;
    }
  }
  // Frames written now are not heard before now. A write that comes late, after the server's
  // buffer ran dry and it played silence, would otherwise be scheduled in the past, and the clocks
  // would run ahead of the sound until the reports had moved the schedule.
  int64_t at = std::max(next_at_ns_, now_ns);
  next_at_ns_ = at + ns_for(count);
  return at;
}

std::unique_ptr<Output> open_pulse_output(PullFrames pull, ServerAnswer& answer) {
  auto output = std::make_unique<PulseOutput>(std::move(pull));
  answer = output->open();
  if (answer != ServerAnswer::yes) return nullptr;
  return output;
}

}  // namespace audio
