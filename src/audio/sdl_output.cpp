// SDL's audio output: SDL's audio thread calls back for each buffer.
#include <SDL.h>

#include <atomic>

#include "output.h"

namespace audio {

namespace {

class SdlOutput : public Output {
 public:
  SdlOutput(PullFrames pull, std::string& why) : pull_(std::move(pull)) {
    if (!SDL_WasInit(SDL_INIT_AUDIO)) {
      initialised_sdl_audio_ = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
      if (!initialised_sdl_audio_) why = SDL_GetError();
    }
    if (SDL_WasInit(SDL_INIT_AUDIO)) {
      SDL_AudioSpec wanted{};
      wanted.freq = kOutputRate;
      wanted.format = AUDIO_S16SYS;
      wanted.channels = kOutputChannels;
      wanted.samples = kOutputBufferFrames;
      wanted.callback = callback;
      wanted.userdata = this;
      // Without an 'obtained' argument SDL converts to the hardware's format itself. The output
      // stays paused until start().
      opened_ = SDL_OpenAudio(&wanted, nullptr) == 0;
      if (!opened_) why = SDL_GetError();
    }
    if (!opened_ && why.empty()) why = "SDL's audio did not start";
  }
  ~SdlOutput() override {
    // After SDL_Quit the output is already closed and must not be touched again.
    if (!SDL_WasInit(SDL_INIT_AUDIO)) return;
    if (opened_) SDL_CloseAudio();
    if (initialised_sdl_audio_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }
  bool opened() const { return opened_; }
  void start() override {
    if (SDL_WasInit(SDL_INIT_AUDIO)) SDL_PauseAudio(0);
  }
  int64_t last_pull_ns() const override { return last_pull_ns_.load(std::memory_order_relaxed); }

 private:
  static void callback(void* output, Uint8* out, int bytes) {
    auto* self = static_cast<SdlOutput*>(output);
    int64_t now = steady_ns();
    self->last_pull_ns_.store(now, std::memory_order_relaxed);
    self->pull_(reinterpret_cast<int16_t*>(out), bytes / (kOutputChannels * sizeof(int16_t)), now,
                false);
  }

  PullFrames pull_;
  bool initialised_sdl_audio_ = false, opened_ = false;
  std::atomic<int64_t> last_pull_ns_{0};
};

}  // namespace

std::unique_ptr<Output> open_sdl_output(PullFrames pull, std::string& why) {
  auto output = std::make_unique<SdlOutput>(std::move(pull), why);
  if (!output->opened()) return nullptr;
  return output;
}

}  // namespace audio
