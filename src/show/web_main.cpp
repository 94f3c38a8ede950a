// The show in a web browser. A browser cannot run an endless loop on its page's thread: the
// timeline runs one pass per animation frame instead.
#include <emscripten.h>
#include <emscripten/eventloop.h>
#include <emscripten/html5.h>

#include "dot_circles.h"
#include "show_setup.h"
#include "timeline_loop.h"

namespace {

// The effect's first frame would come late by the time the browser takes to make its drawing code
// fast and to set up its first canvas (its first pass took 21 ms, the next ones 6-8 ms): rings
// drawn into a scratch canvas at the start, while the first picture shows, do both.
void warm_up_the_effect() {
  SDL_Surface* scratch = SDL_CreateRGBSurface(0, 1024, 768, 32, 0, 0, 0, 0);
  if (!scratch || SDL_LockSurface(scratch) != 0) return;
  for (int radius = 100; radius <= 1000; radius += 50)
    draw_dot_circle(scratch, 0, 0, radius, 0, 0, 0);
  SDL_UnlockSurface(scratch);
  SDL_FreeSurface(scratch);
}

EM_BOOL next_pass(double, void*) {
  timeline_pass();
  return EM_TRUE;
}

}  // namespace

// The passes hold nothing alive: the exit at the end mark ends the runtime for real, runs the exit
// handlers (which stop the music) and gives the page the status.
int main(int, char**) {
  init_show();
  warm_up_the_effect();
  emscripten_request_animation_frame_loop(next_pass, nullptr);
  emscripten_unwind_to_js_event_loop();
}
// For the tests: draws and presents the effect's frame with this counter (from 100) as the
// timeline does, so that a test can compare the canvas with the native build's frame.
extern "C" EMSCRIPTEN_KEEPALIVE void present_effect_frame(int counter) {
  effect_counter = counter;
  install_effect_frame();
  present_frame();
}
