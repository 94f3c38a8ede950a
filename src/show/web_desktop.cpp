// How the show meets a web browser: the page's canvas is its window, and the page around it
// decides everything else, so there is nothing to choose before SDL starts.
#include <SDL.h>

#include <cstdlib>
#include <string>

#include "desktop.h"
#include "show_setup.h"

void prepare_desktop() {}

const char* why_no_window() {
  static std::string why;
  why = *SDL_GetError() ? SDL_GetError() : "the page has no canvas for it";
  return why.c_str();
}

// A page that goes away takes the show with it.
void end_show_when_display_is_lost() {}

void end_show_on_quit() {
  std::exit(exit_closed_by_user);
}
