// Start-up of SDL, the window and the music, and the music clock that drives the show.
#pragma once

#include <SDL.h>

#include "audio.h"

// Exit statuses besides 1, the end of the show.
enum {
  exit_cannot_start = 2,
  exit_closed_by_user = 3,
  exit_display_lost = 4,
};

// The stream is declared after the device, so that it is released first at exit.
extern audio::RefPtr<audio::AudioDevice> audio_device;
extern audio::RefPtr<audio::OutputStream> music_stream;
extern SDL_Surface* screen;
extern SDL_Rect blit_origin;

// Opens the window and the music, silent until the first music_position(). When the window or
// the music cannot be opened it says why on stderr and exits with exit_cannot_start.
void init_show();
// Tells the music to play and returns its position in sample frames.
int music_position();
