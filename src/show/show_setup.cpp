#include "show_setup.h"

#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "desktop.h"

audio::RefPtr<audio::AudioDevice> audio_device;
audio::RefPtr<audio::OutputStream> music_stream;
SDL_Surface* screen = nullptr;
SDL_Rect blit_origin = {0, 0, 0, 0};

namespace {

[[noreturn]] void fail(const char* what, const char* why) {
  std::fprintf(stderr, "show: %s: %s\n", what, why);
  std::exit(exit_cannot_start);
}

}  // namespace

void init_show() {
  prepare_desktop();
  // Canvases (3 MiB each pass) get mappings of their own that go back to the system when freed,
  // instead of growing the heap for good once the effect has run.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // SDL would turn SIGINT and SIGTERM into quit events, which read as a close: they end the show
  // by their default action instead, from its first moment.
  setenv("SDL_NO_SIGNAL_HANDLERS", "1", 0);
  // SDL stops at the first subsystem that fails to start (audio, say, on a machine without
  // sound); only video is needed here, so it gets a second chance of its own.
  SDL_Init(SDL_INIT_EVERYTHING);
  if (!SDL_WasInit(SDL_INIT_VIDEO) && SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
    fail("cannot initialise SDL video", why_no_window());
  if (const char* why = why_no_display()) fail("cannot open a 1024x768 window", why);
  std::atexit(SDL_Quit);
  // Where the user's own SDL setting let SDL take them, they are taken back.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);

  name_the_window();
  screen = SDL_SetVideoMode(1024, 768, 32, SDL_HWSURFACE | SDL_DOUBLEBUF);
  if (!screen) fail("cannot open a 1024x768 window", why_no_window());
  end_show_when_display_is_lost();
  blit_origin.x = 0;
  blit_origin.y = 0;

  audio_device = audio::OpenDevice(nullptr, nullptr);
  if (!audio_device) fail("cannot open the audio device", audio::GetLastError());
  audio::RefPtr<audio::SampleSource> source =
      audio::OpenSampleSource("brimvale.mp3", audio::FF_AUTODETECT);
  if (!source) fail("cannot open \"brimvale.mp3\"", audio::GetLastError());
  audio::OutputStream* stream = audio::OpenSound(audio_device.get(), source.get(), true);
  source = nullptr;
  if (!stream) fail("cannot stream \"brimvale.mp3\"", audio::GetLastError());
  music_stream = stream;
  music_stream->setRepeat(false);
  music_stream->setVolume(1.0f);
}

int music_position() {
  music_stream->play();
  return music_stream->getPosition();
}
