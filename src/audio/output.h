// Where the device's mix goes. Each output pulls mixed frames from a thread of its own, at the
// pace of what it plays to: SDL's audio output, or the silent one that keeps time without a
// device.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace audio {

constexpr int kOutputRate = 44100;
constexpr int kOutputChannels = 2;
constexpr int kOutputBufferFrames = 512;

// Fills frames (interleaved stereo, 16-bit) with the next count frames of the mix, which start to
// play at the steady time at_ns.
using PullFrames = std::function<void(int16_t* frames, int count, int64_t at_ns)>;

class Output {
 public:
  virtual ~Output() = default;
  // Starts pulling. Called once, at the first play() of any stream.
  virtual void start() = 0;
  // Steady time (ns) of the latest pull; 0 before the first.
  virtual int64_t last_pull_ns() const = 0;
};

// SDL's audio output; null, with the reason in why, when none opens.
std::unique_ptr<Output> open_sdl_output(PullFrames pull, std::string& why);
// Pulls on the steady clock at the pace of a real output, playing nothing. Given an output to
// stand in for, it pulls only while that one has stopped pulling (its server is gone, say), so
// that the streams' clocks go on.
std::unique_ptr<Output> open_silent_output(PullFrames pull, const Output* stand_in_for = nullptr);

// Inline: the streams' clocks read it on every position reading.
inline int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace audio
