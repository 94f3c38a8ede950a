// The timeline: pass after pass, the music position alone decides what is on screen.
#pragma once

#include <SDL.h>

// The last position of the show: the first reading past it ends the show.
constexpr int show_end_mark = 639999;

// The current picture, null until the first is installed. Owned by the timeline.
extern SDL_Surface* picture;

// One pass: installs the picture whose window holds the position, draws an effect frame in the
// effect window, exits with status 1 past the end mark, handles the window's events, then
// presents the frame.
void timeline_pass();
// Installs a fresh black canvas as the picture and draws the effect's next frame into it.
void install_effect_frame();
// Answers the window manager; a request to close the window exits with exit_closed_by_user, a
// lost Wayland compositor with exit_display_lost.
void handle_window_events();
// Clears the screen to black, puts the picture at the top-left corner and flips.
void present_frame();
