// Prints a hash of the effect's frame for each counter given, drawn as the timeline draws it:
// "COUNTER HASH", FNV-1a over each pixel's red, green and blue, row by row. The web test hashes
// the browser's canvas the same way.
#include <cstdio>
#include <cstdlib>

#include "dot_circles.h"
#include "timeline_loop.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    effect_counter = std::atoi(argv[i]);
    install_effect_frame();
    if (!picture) return 1;
    uint32_t hash = 0x811c9dc5;
    for (int y = 0; y < 768; y++)
      for (int x = 0; x < 1024; x++) {
        Uint8 rgb[3];
        Uint32 value = static_cast<Uint32*>(picture->pixels)[y * picture->pitch / 4 + x];
        SDL_GetRGB(value, picture->format, &rgb[0], &rgb[1], &rgb[2]);
        for (Uint8 component : rgb) hash = (hash ^ component) * 0x01000193;
      }
    std::printf("%s %u\n", argv[i], hash);
  }
}
