// The dot-circle animation: 21 rings of single-pixel dots whose radii grow by one each frame.
#pragma once

#include <SDL.h>

// Frames drawn so far, plus 100: the first frame's radii are 100, 150, ...
extern int effect_counter;

// Draws one frame into the current picture and advances effect_counter.
void effect_frame();
void draw_dot_circle(SDL_Surface* surface, int cx, int cy, int radius, Uint8 red, Uint8 green,
                     Uint8 blue);
// Writes one 32-bit pixel, passing over anything outside 1024 x 768 or outside the surface.
void put_pixel(SDL_Surface* surface, int x, int y, Uint8 red, Uint8 green, Uint8 blue);
