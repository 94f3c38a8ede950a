// A small audio library: reference-counted devices, sample sources and output streams.
// Output goes to the desktop's sound server through libpulse, or through SDL's audio; files are
// decoded with libsndfile.
#pragma once

#include <atomic>
#include <cstdint>

namespace audio {

// Objects start with no references and delete themselves when the last one is released.
class RefCounted {
 public:
  virtual ~RefCounted() = default;
  void ref() { references_.fetch_add(1, std::memory_order_relaxed); }
  void unref() {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 private:
  std::atomic<int> references_{0};
};

// Holds one reference. Assigning another object releases the old one first, then acquires the
// new one; assigning the object already held does nothing.
template <typename T>
class RefPtr {
 public:
  RefPtr() = default;
  RefPtr(T* object) { set(object); }
  RefPtr(const RefPtr& other) { set(other.object_); }
  ~RefPtr() { set(nullptr); }
  RefPtr& operator=(T* object) {
    set(object);
    return *this;
  }
  RefPtr& operator=(const RefPtr& other) {
    set(other.object_);
    return *this;
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  void set(T* object) {
    if (object == object_) return;
    T* old = object_;
    object_ = nullptr;
    if (old) old->unref();
    object_ = object;
    if (object_) object_->ref();
  }
  T* object_ = nullptr;
};

enum FileFormat { FF_AUTODETECT = 0 };

// Interleaved signed 16-bit frames from a file or from memory.
class SampleSource : public RefCounted {
 public:
  virtual void getFormat(int& channel_count, int& sample_rate) = 0;
  // Reads up to frame_count frames into buffer; returns how many were read, 0 at the end.
  virtual int read(int frame_count, int16_t* buffer) = 0;
  virtual void reset() = 0;
};

class OutputStream : public RefCounted {
 public:
  // Starts playback; once playing, further calls do nothing.
  virtual void play() = 0;
  virtual void setRepeat(bool repeat) = 0;
  virtual bool getRepeat() = 0;
  // 0 is silent, 1 (the default) passes samples unchanged.
  virtual void setVolume(float volume) = 0;
  virtual float getVolume() = 0;
  // Frames of the track played since the first play(), at the track's own rate: on the sound
  // server, the frame the listener hears now, its latency included. Never goes backwards, and
  // keeps counting through silence after the end of a track.
  virtual int getPosition() = 0;
};

class AudioDevice : public RefCounted {
 public:
  // "pulse" for the desktop's sound server, "sdl" for SDL's audio output, "silent" when no output
  // could be opened.
  virtual const char* getName() = 0;
};

// Null name and parameters open the default output: the sound server, unless SDL_AUDIODRIVER
// names an SDL driver, else SDL's. When none opens, the device returned plays silently on the
// steady clock.
AudioDevice* OpenDevice(const char* name = nullptr, const char* parameters = nullptr);
// Null when the file is missing or cannot be decoded; GetLastError() tells why.
SampleSource* OpenSampleSource(const char* filename, FileFormat format = FF_AUTODETECT);
// streaming decodes while playing; otherwise the whole track is decoded first.
OutputStream* OpenSound(AudioDevice* device, SampleSource* source, bool streaming = false);
// Why the last call above on this thread failed.
const char* GetLastError();

}  // namespace audio
