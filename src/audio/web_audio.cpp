// The audio library in a web browser: the page's Web Audio plays the tracks that the browser has
// fetched and decoded (web_audio.js) before the show opens them.
#include <emscripten.h>

#include <string>

#include "audio.h"

namespace audio {

namespace {

std::string last_error;

class WebDevice : public AudioDevice {
 public:
  const char* getName() override { return "web"; }
};

WebDevice* open_device = nullptr;

// A decoded track, by its file name. The frames come as the browser decoded them, at the
// output's rate; the rate given is the file's own, at which the stream counts its position.
class WebSource : public SampleSource {
 public:
  explicit WebSource(const char* name) : name_(name) {}
  const std::string& name() const { return name_; }
  void getFormat(int& channel_count, int& sample_rate) override {
    channel_count =
        EM_ASM_INT({ return Module.webAudio.tracks[UTF8ToString($0)].buffer.numberOfChannels; },
                   name_.c_str());
    sample_rate =
        EM_ASM_INT({ return Module.webAudio.tracks[UTF8ToString($0)].rate; }, name_.c_str());
  }
  int read(int frame_count, int16_t* buffer) override {
    int count = EM_ASM_INT({ return Module.webAudio.read(UTF8ToString($0), $1, $2, $3); },
                           name_.c_str(), read_at_, frame_count, buffer);
    read_at_ += count;
    return count;
  }
  void reset() override { read_at_ = 0; }

 private:
  std::string name_;
  int read_at_ = 0;
};

class WebStream : public OutputStream {
 public:
  WebStream(AudioDevice* device, int id) : device_(device), id_(id) {}
  ~WebStream() override { EM_ASM({Module.webAudio.close($0)}, id_); }
  void play() override {
    if (!playing_) EM_ASM({Module.webAudio.play($0)}, id_);
    playing_ = true;
  }
  void setRepeat(bool repeat) override {
    repeat_ = repeat;
    EM_ASM({Module.webAudio.setRepeat($0, !!$1)}, id_, repeat);
  }
  bool getRepeat() override { return repeat_; }
  void setVolume(float volume) override {
    volume_ = volume;
    EM_ASM({Module.webAudio.setVolume($0, $1)}, id_, volume);
  }
  float getVolume() override { return volume_; }
  int getPosition() override { return EM_ASM_INT({return Module.webAudio.position($0)}, id_); }

 private:
  RefPtr<AudioDevice> device_;
  int id_;
  bool playing_ = false, repeat_ = false;
  float volume_ = 1.0f;
};

}  // namespace

AudioDevice* OpenDevice(const char* name, const char*) {
  if (name && *name && std::string(name) != "web") {
    last_error = std::string("unknown audio device \"") + name + "\"";
    return nullptr;
  }
  if (!EM_ASM_INT({ return typeof AudioContext != 'undefined'; })) {
    last_error = "this browser has no Web Audio";
    return nullptr;
  }
  if (!open_device) open_device = new WebDevice();
  return open_device;
}

SampleSource* OpenSampleSource(const char* filename, FileFormat) {
  char why[256] = "";
  EM_ASM(
      {
        const track = Module.webAudio.tracks[UTF8ToString($0)];
        stringToUTF8(track ? track.error || "" : "it was not loaded with the page", $1, 256);
      },
      filename, why);
  if (!*why) return new WebSource(filename);
  last_error = why;
  return nullptr;
}

OutputStream* OpenSound(AudioDevice* device, SampleSource* source, bool) {
  RefPtr<SampleSource> held(source);
  if (!device || !source) {
    last_error = "no device or no source";
    return nullptr;
  }
  // Only the browser's decoded tracks can play here.
  auto* track = dynamic_cast<WebSource*>(source);
  if (!track) {
    last_error = "the browser plays only the tracks it has decoded";
    return nullptr;
  }
  return new WebStream(
      device, EM_ASM_INT({return Module.webAudio.open(UTF8ToString($0))}, track->name().c_str()));
}

const char* GetLastError() {
  return last_error.c_str();
}

}  // namespace audio
