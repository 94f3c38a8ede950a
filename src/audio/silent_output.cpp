// The silent output: a thread that pulls buffers on the steady clock at a real output's pace and
// plays nothing. It keeps the streams' clocks going where there is no sound output, and stands in
// for one that stops pulling or is lost.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "output.h"

namespace audio {

namespace {

constexpr int64_t kBufferNs = int64_t{kOutputBufferFrames} * 1000000000 / kOutputRate;
// Like a real output, buffers are handed over this long before they play. A wake-up later than
// that holds the clock, which then catches up at once: a visible jump. 46 ms absorbs the late
// wake-ups of a busy host.
constexpr int64_t kLeadNs = 4 * kBufferNs;

class SilentOutput : public Output {
 public:
  SilentOutput(PullFrames pull, const Output* stand_in_for)
      : pull_(std::move(pull)), watched_(stand_in_for) {}
  ~SilentOutput() override {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }
  void start() override { thread_ = std::thread(&SilentOutput::run, this); }
  int64_t last_pull_ns() const override { return last_pull_ns_.load(std::memory_order_relaxed); }

 private:
  // Buffers are due on an absolute schedule, so that the pace never drifts. Standing in, the
  // schedule begins where the watched output stopped: the frames it left unplayed are pulled at
  // once, each with the time it was due, so that the streams' clocks are on time again.
  void run() {
    std::vector<int16_t> discarded(kOutputBufferFrames * kOutputChannels);
    const int64_t started = steady_ns();
    int64_t due = started;
    bool standing_in = watched_ == nullptr;
    while (!stopping_) {
      if (watched_) {
        int64_t last = std::max(watched_->last_pull_ns(), started);
        bool stalled = watched_->lost() || steady_ns() - last >= kStalledNs;
        if (stalled && !standing_in) due = last + kBufferNs;
        standing_in = stalled || (standing_in && last < last_pull_ns());
        if (!standing_in) {
          std::this_thread::sleep_for(std::chrono::nanoseconds(kBufferNs));
          continue;
        }
      }
      pull_(discarded.data(), kOutputBufferFrames, due, false);
      last_pull_ns_.store(steady_ns(), std::memory_order_relaxed);
      due += kBufferNs;
      std::this_thread::sleep_until(
          std::chrono::steady_clock::time_point(std::chrono::nanoseconds(due - kLeadNs)));
    }
  }

  PullFrames pull_;
  const Output* watched_;
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> last_pull_ns_{0};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Output> open_silent_output(PullFrames pull, const Output* stand_in_for) {
  return std::make_unique<SilentOutput>(std::move(pull), stand_in_for);
}

}  // namespace audio
