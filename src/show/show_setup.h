// Start-up of SDL, the window and the music, and the music clock that drives the show.
#pragma once

#include <SDL.h>

#include "audio.h"

// The stream is declared after the device, so that it is released first at exit.
extern audio::RefPtr<audio::AudioDevice> audio_device;
extern audio::RefPtr<audio::OutputStream> music_stream;
extern SDL_Surface* screen;
extern SDL_Rect blit_origin;

// Opens the window and the music, silent until the first music_position(). When the window or
// the music cannot be opened it says why on stderr and exits with status 2.
void init_show();
// Tells the music to play and returns its position in sample frames.
int music_position();
