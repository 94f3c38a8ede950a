// How the show meets a web browser: the page's canvas is its window, and the page around it
// decides everything else, so there is nothing to choose before SDL starts.
#include <SDL.h>
#include <emscripten.h>

#include <cstdlib>
#include <string>

#include "desktop.h"
#include "show_setup.h"

// The browser's SDL keeps a surface's pixels in its canvas, reads them back into memory at every
// lock and writes them out at the unlock (7 ms of a frame in Chromium). The surfaces the show
// locks are fresh black canvases, each drawn whole and then shown: their memory need only start
// black, and one image to write them out through serves them all.
void prepare_desktop() {
  EM_ASM({
    if (typeof SDL != 'object' || !SDL.makeSurface || !SDL.defaults) return;
    const make = SDL.makeSurface;
    let image = null;
    SDL.makeSurface = function(width, height, flags, usePageCanvas, source) {
      const surface = make.apply(SDL, arguments);
      const data = SDL.surfaces[surface];
      if (source == 'CreateRGBSurface' && data.buffer) {
        HEAPU8.fill(0, data.buffer, data.buffer + width * height * 4);
        if (!image || image.width != width || image.height != height)
          image = data.ctx.createImageData(width, height);
        data.image = image;
      }
      return surface;
    };
    SDL.defaults.discardOnLock = true;
  });
}

// The page carries the show's name and icon.
void name_the_window() {}

const char* why_no_window() {
  static std::string why;
  why = *SDL_GetError() ? SDL_GetError() : "the page has no canvas for it";
  return why.c_str();
}

const char* why_no_display() {
  return nullptr;
}

// A page that goes away takes the show with it.
void end_show_when_display_is_lost() {}

void end_show_on_quit() {
  std::exit(exit_closed_by_user);
}
