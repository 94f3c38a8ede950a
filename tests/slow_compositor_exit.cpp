// Preloaded into the Wayland compositor of a test session: when it shuts down it keeps its
// listening socket 0.5 s after it has let its clients go, as mutter, KWin and later sways do
// while they tear down their outputs. A client that finds the socket still taking connections
// then must not take the compositor for alive.
#include <dlfcn.h>
#include <unistd.h>

struct wl_display;

extern "C" void wl_display_destroy(wl_display* display) {
  usleep(500000);
  reinterpret_cast<void (*)(wl_display*)>(dlsym(RTLD_NEXT, "wl_display_destroy"))(display);
}
