#include "show_setup.h"
#include "timeline_loop.h"

// Arguments are ignored; the show ends only by exiting at its end mark.
int main(int, char**) {
  init_show();
  for (;;) timeline_pass();
}
