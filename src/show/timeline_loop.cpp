#include "timeline_loop.h"

#include <SDL_image.h>

#include <cstdlib>

#include "desktop.h"
#include "dot_circles.h"
#include "show_setup.h"

SDL_Surface* picture = nullptr;

namespace {

void install(SDL_Surface* replacement) {
  if (picture) SDL_FreeSurface(picture);
  picture = replacement;
}

// Loaded afresh on every pass while its window holds; a failed load leaves the frame black.
void install_picture(const char* file) {
  install(IMG_Load(file));
}

}  // namespace

// Locked while the dots are drawn: a browser's canvas has its pixels in memory only then, and
// takes them back at the unlock. A software surface on the desktop needs no lock.
void install_effect_frame() {
  install(SDL_CreateRGBSurface(0, 1024, 768, 32, 0, 0, 0, 0));
  if (!picture || SDL_LockSurface(picture) != 0) return;
  effect_frame();
  SDL_UnlockSurface(picture);
}

// Every comparison reads the clock afresh; a failed lower test skips the upper one.
void timeline_pass() {
  if (music_position() <= 67119) install_picture("step1.png");
  if (music_position() > 67119 && music_position() <= 69120) install_picture("this is coffee.png");
  if (music_position() > 123122 && music_position() <= 126123) install_picture("the_machine.png");
  if (music_position() > 189999 && music_position() <= 193123) install_picture("q_portal.png");
  if (music_position() > 256921 && music_position() <= 505907) install_effect_frame();
  if (music_position() > 505906 && music_position() <= 508907) install_picture("all_done.png");
  if (music_position() > show_end_mark) std::exit(1);
  handle_window_events();
  present_frame();
}

// Lets SDL answer the window manager (pings, exposure). Closing the window ends the show; no other
// input is read.
void handle_window_events() {
  SDL_Event event;
  while (SDL_PollEvent(&event))
    if (event.type == SDL_QUIT) end_show_on_quit();
}

void present_frame() {
  SDL_FillRect(screen, nullptr, SDL_MapRGB(screen->format, 0, 0, 0));
  if (picture) SDL_BlitSurface(picture, nullptr, screen, &blit_origin);
  SDL_Flip(screen);
}
