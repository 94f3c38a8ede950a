// Where the device's mix goes. Each output pulls mixed frames from a thread of its own, at the
// pace of what it plays to: the desktop's sound server, SDL's audio output, or the silent one that
// keeps time without a device.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace audio {

constexpr int kOutputRate = 44100;
constexpr int kOutputChannels = 2;
constexpr int kOutputBufferFrames = 512;
// An output that has not pulled for this long has stopped: longer than any pause of a working
// output, short enough for the show to carry on visibly. The silent output then stands in, and a
// sound server's schedule starts afresh when writes resume.
constexpr int64_t kStalledNs = 500000000;

// Fills frames (interleaved stereo, 16-bit) with the next count frames of the mix, which start to
// play at the steady time at_ns. With heard, at_ns is when the listener hears them, as the sound
// server reports it, smoothed (HeardSchedule); otherwise it is when the output took them, and the
// listener hears them some unknown time later.
using PullFrames = std::function<void(int16_t* frames, int count, int64_t at_ns, bool heard)>;

class Output {
 public:
  virtual ~Output() = default;
  // Starts pulling. Called once, at the first play() of any stream.
  virtual void start() = 0;
  // Steady time (ns) of the latest pull; 0 before the first.
  virtual int64_t last_pull_ns() const = 0;
  // True once the output knows it will pull no more (its sound server went away).
  virtual bool lost() const { return false; }
};

// When frames handed to a sound server will be heard, from what the server reports it is playing.
// The times run on from one write to the next at the output's rate. They follow a larger latency at
// once (the clocks then hold) and a smaller one by at most 1 ms a write (the clocks then run a
// little fast), so that the clocks stay smooth; a report out of line with the ones around it is
// ignored. No frame is heard before it is written. After a long pause in the writes they start
// again from the server's report.
class HeardSchedule {
 public:
  // count frames are written at the steady time now_ns after written frames; the server is
  // playing frame heard of them now (negative when it has not said yet). Returns when the first of
  // the count frames will be heard.
  int64_t next(int64_t now_ns, int64_t written, int64_t heard, int count);

 private:
  bool started_ = false;
  int64_t next_at_ns_ = 0, last_write_ns_ = 0;
  std::array<int64_t, 5> errors_{};  // the latest reports against the schedule, in ns
  size_t error_count_ = 0;
};

enum class ServerAnswer { yes, none, too_late };
// The desktop's sound server (PulseAudio, or PipeWire through pipewire-pulse); null when there is
// none (answer none) or it does not set up a stream within 3 s (answer too_late).
std::unique_ptr<Output> open_pulse_output(PullFrames pull, ServerAnswer& answer);

// SDL's audio output; null, with the reason in why, when none opens.
std::unique_ptr<Output> open_sdl_output(PullFrames pull, std::string& why);
// Pulls on the steady clock at the pace of a real output, playing nothing. Given an output to
// stand in for, it pulls only while that one has stopped pulling or is lost (its server is gone,
// say), so that the streams' clocks go on.
std::unique_ptr<Output> open_silent_output(PullFrames pull, const Output* stand_in_for = nullptr);

// Inline: the streams' clocks read it on every position reading.
inline int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace audio
