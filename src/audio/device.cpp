// The output device: mixes its streams for whichever output is pulling.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "internal.h"

namespace audio {

namespace {

Device* open_device = nullptr;  // SDL has one audio output, so there is one device at a time

}  // namespace

Device::Device() {
  auto pull = [this](int16_t* out, int frame_count, int64_t at_ns, bool heard) {
    mix(out, frame_count, at_ns, heard);
  };
  // The desktop's sound server first, unless SDL is asked for an audio driver by name.
  const char* sdl_driver = std::getenv("SDL_AUDIODRIVER");
  ServerAnswer answer = ServerAnswer::none;
  if (!sdl_driver || !*sdl_driver) output_ = open_pulse_output(pull, answer);
  std::string why;
  if (output_) {
    name_ = "pulse";
  } else if (answer == ServerAnswer::too_late) {
    // SDL's outputs would wait on the same server far longer.
    why = "the sound server did not set up a stream within 3 s";
  } else {
    output_ = open_sdl_output(pull, why);
    if (output_) name_ = "sdl";
  }
  if (!output_)
    std::fprintf(stderr, "audio: no sound output (%s); playing silently\n", why.c_str());
  silent_output_ = open_silent_output(pull, output_.get());
}

Device::~Device() {
  if (open_device == this) open_device = nullptr;
  // Both outputs stop pulling before the streams' list goes.
  output_.reset();
  silent_output_.reset();
}

void Device::add(Stream* stream) {
  std::lock_guard<std::mutex> lock(mix_mutex_);
  streams_.push_back(stream);
}

void Device::remove(Stream* stream) {
  std::lock_guard<std::mutex> lock(mix_mutex_);
  streams_.erase(std::find(streams_.begin(), streams_.end(), stream));
}

void Device::start() {
  if (started_.exchange(true)) return;
  if (output_) output_->start();
  silent_output_->start();
}

void Device::mix(int16_t* out, int frame_count, int64_t at_ns, bool heard) {
  std::lock_guard<std::mutex> lock(mix_mutex_);
  mix_.assign(static_cast<size_t>(frame_count) * kOutputChannels, 0);
  for (Stream* stream : streams_) stream->render(mix_.data(), frame_count, at_ns, heard);
  for (size_t i = 0; i < mix_.size(); i++)
    out[i] = static_cast<int16_t>(std::clamp<int32_t>(mix_[i], INT16_MIN, INT16_MAX));
}

AudioDevice* OpenDevice(const char* name, const char*) {
  if (name && *name && std::string(name) != "sdl") {
    set_last_error(std::string("unknown audio device \"") + name + "\"");
    return nullptr;
  }
  if (!open_device) open_device = new Device();
  return open_device;
}

}  // namespace audio
