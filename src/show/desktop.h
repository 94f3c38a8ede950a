// How the show meets the desktop: which of SDL's video drivers it uses, how its frames reach the
// window, and what ends it when the display goes away. A user's own SDL settings always win.
#pragma once

// X11 where an X server answers (Xorg, or Xwayland beside a Wayland compositor): there SDL copies
// the software-drawn frames straight into the window, with no OpenGL. Otherwise SDL's own choice,
// which on a Wayland-only session presents through OpenGL or Vulkan, the only ways SDL has there.
// Also gives SDL the app id and window class by which the desktop matches the window to the show's
// desktop entry, and keeps ALSA's own error messages off stderr. Call before SDL_Init.
void prepare_desktop();
// The window's title, "Brimvale Show", and the show's icon. Call before the window opens.
void name_the_window();
// Why SDL opened no window, never empty. A display that went while SDL started or the window
// opened ends the show instead, as a lost display.
const char* why_no_window();
// Why SDL's video has no display to show a window on, or nullptr where it has one. Call after
// SDL's video starts.
const char* why_no_display();
// Once the window is open: a lost X display, or the window gone from under the show, ends the
// process at once with exit_display_lost.
// Also lets go of the connection with which prepare_desktop found the X server.
void end_show_when_display_is_lost();
// Ends the show on SDL's quit event: with exit_display_lost, saying so, when the Wayland
// compositor has gone (SDL reports that as a quit), else with exit_closed_by_user.
[[noreturn]] void end_show_on_quit();
