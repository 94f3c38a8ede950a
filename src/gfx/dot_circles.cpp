#include "dot_circles.h"

#include <cmath>
#include <cstdint>

#include "timeline_loop.h"

int effect_counter = 100;

void effect_frame() {
  // Centres lie on an ellipse around the top-left corner; the phases are whole radians.
  for (int phase = 0; phase <= 1022; phase += 50) {
    int cx = static_cast<int>(std::sin(phase) * 0.5 * 768);
    int cy = static_cast<int>(std::cos(phase) * 0.5 * 384);
    int radius = (phase + effect_counter) % 1023;
    Uint8 green = static_cast<Uint8>(cx ^ cy);
    draw_dot_circle(picture, cx, cy, radius, 0, green, 0);
  }
  effect_counter++;
}

void draw_dot_circle(SDL_Surface* surface, int cx, int cy, int radius, Uint8 red, Uint8 green,
                     Uint8 blue) {
  // Dots while k < radius * 6.28, with the product taken exactly. The double nearest 6.28 lies
  // just above 157/25, so the exact product lets k through up to floor(157 * radius / 25) and
  // no further; integer arithmetic gives that on every platform, where a rounded double product
  // would stop one dot short at multiples of 25.
  if (radius <= 0) return;
  const int64_t last_k = int64_t{157} * radius / 25;
  const double r = radius;
  for (int64_t k = 0; k <= last_k; k++) {
    int x = static_cast<int>(std::cos(k) * r + cx);
    int y = static_cast<int>(std::sin(k) * r + cy);
    put_pixel(surface, x, y, red, green, blue);
  }
}

void put_pixel(SDL_Surface* surface, int x, int y, Uint8 red, Uint8 green, Uint8 blue) {
  Uint32 colour = SDL_MapRGB(surface->format, red, green, blue);
  if (x < 0 || x > 1023 || y < 0 || y > 767) return;
  if (x >= surface->w || y >= surface->h || surface->format->BytesPerPixel != 4) return;
  static_cast<Uint32*>(surface->pixels)[(surface->pitch * y) / 4 + x] = colour;
}
