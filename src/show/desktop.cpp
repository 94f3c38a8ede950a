#include "desktop.h"

#include <SDL.h>
#include <SDL_image.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "show_setup.h"

namespace {

bool is(const char* variable, const char* value) {
  const char* set = getenv(variable);
  return set && std::strcmp(set, value) == 0;
}

// The connection that found the X server, held until SDL has its own: an X server with no client
// left resets itself, which would hold up SDL's connection by 20-40 ms (Xvfb here). Until then it
// also tells whether the X server has gone since.
void* x_probe = nullptr;
int (*close_x_probe)(void*) = nullptr;
int (*x_probe_fd)(void*) = nullptr;

// Whether the user chose SDL's video driver, and whether a Wayland compositor answered as the
// show started.
bool driver_chosen = false;
bool wayland_answered = false;
const char* const kNoDisplay = "no X server or Wayland compositor answers";

// Xlib is loaded at run time, as SDL loads it, so that a Wayland-only system need not have it;
// it stays loaded for SDL's X11 driver.
bool x_server_answers() {
  if (!getenv("DISPLAY")) return false;
  void* xlib = dlopen("libX11.so.6", RTLD_LAZY);
  if (!xlib) return false;
  auto open_display = reinterpret_cast<void* (*)(const char*)>(dlsym(xlib, "XOpenDisplay"));
  close_x_probe = reinterpret_cast<int (*)(void*)>(dlsym(xlib, "XCloseDisplay"));
  x_probe_fd = reinterpret_cast<int (*)(void*)>(dlsym(xlib, "XConnectionNumber"));
  if (open_display && close_x_probe && x_probe_fd) x_probe = open_display(nullptr);
  return x_probe != nullptr;
}

// Whether the X server that answered has ended that first connection since: it has gone.
bool x_server_gone() {
  if (!x_probe) return false;
  pollfd connection = {x_probe_fd(x_probe), POLLRDHUP, 0};
  return poll(&connection, 1, 0) == 1 && (connection.revents & (POLLHUP | POLLRDHUP | POLLERR));
}

// The name by which the desktop matches the window to the show's desktop entry, for its name and
// icon in the dock: the Wayland app id and the X11 window class. SDL 2 reads the first two
// (Wayland falls back on the X11 one), SDL 3 the last. A user who has chosen any keeps it.
void name_the_application() {
  const char* settings[] = {"SDL_VIDEO_X11_WMCLASS", "SDL_VIDEO_WAYLAND_WMCLASS", "SDL_APP_ID"};
  for (const char* setting : settings)
    if (getenv(setting)) return;
  for (const char* setting : settings) setenv(setting, "org.brimvale.show", 0);
}

void ignore_alsa_error(const char*, int, const char*, int, const char*, ...) {}

// Without a sound card ALSA writes its own errors to stderr when SDL's audio tries it, before the
// show's one line that it plays silently. libasound is loaded here, as SDL loads it at run time,
// and stays loaded, so that SDL finds it with the handler already set.
void quiet_alsa() {
  void* alsa = dlopen("libasound.so.2", RTLD_LAZY);
  if (!alsa) return;
  using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
  auto set_error_handler =
      reinterpret_cast<int (*)(Handler)>(dlsym(alsa, "snd_lib_error_set_handler"));
  if (set_error_handler) set_error_handler(ignore_alsa_error);
}

// The frames are drawn in software, so presenting them is one copy into the window (XShm on
// X11). Otherwise SDL copies them into an OpenGL texture; without a GPU that OpenGL is a software
// rasteriser which loads LLVM, maps about 90 MiB, starts worker threads and slows each frame.
void present_in_software() {
  setenv("SDL_RENDER_DRIVER", "software", 0);
  setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 0);
  // sdl12-compat 1.2.70 and later open every window for OpenGL when SDL's first renderer is
  // OpenGL, as SDL 3's is, and that loads the OpenGL driver. With no OpenGL library to load, that
  // window fails and sdl12-compat opens a plain one.
  if (is("SDL_RENDER_DRIVER", "software") && is("SDL_FRAMEBUFFER_ACCELERATION", "0"))
    setenv("SDL_OPENGL_LIBRARY", "/dev/null", 0);
}

// libdecor draws the title bar where the compositor draws none (GNOME). Its GTK plugin ends the
// process with status 1 when the compositor goes, the status of a show that reached its end; its
// cairo plugin leaves that to SDL. libdecor loads every plugin in its folder and takes the one it
// rates best, so it is pointed at a folder of the show's own, in the runtime folder, that holds
// only the cairo one. Without that plugin the window goes without libdecor (compositors that
// decorate windows themselves still do). A user's own plugin folder wins.
void decorate_with_cairo() {
  if (getenv("LIBDECOR_PLUGIN_DIR")) return;
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  void* libdecor = dlopen("libdecor-0.so.0", RTLD_LAZY);
  Dl_info found = {};
  std::string cairo;
  if (libdecor && dladdr(dlsym(libdecor, "libdecor_new"), &found) && found.dli_fname) {
    cairo = found.dli_fname;
    cairo = cairo.substr(0, cairo.rfind('/') + 1) + "libdecor/plugins-1/libdecor-cairo.so";
  }
  if (runtime && !cairo.empty() && access(cairo.c_str(), R_OK) == 0) {
    std::string folder = std::string(runtime) + "/org.brimvale.show";
    std::string link = folder + "/libdecor-cairo.so";
    char target[4096] = "";
    ssize_t size = readlink(link.c_str(), target, sizeof target - 1);
    if (size < 0 || cairo != std::string(target, size)) {
      mkdir(folder.c_str(), 0700);
      unlink(link.c_str());
      symlink(cairo.c_str(), link.c_str());
    }
    if (access(link.c_str(), R_OK) == 0) {
      setenv("LIBDECOR_PLUGIN_DIR", folder.c_str(), 1);
      return;
    }
  }
  setenv("SDL_VIDEO_WAYLAND_ALLOW_LIBDECOR", "0", 0);
}

// A native Wayland window has no framebuffer of its own in SDL, so it is presented through OpenGL
// or, where the compositor offers OpenGL no buffers it can use (one without a GPU), through
// Vulkan. SDL 2 knows no list here and takes its own order.
void present_on_wayland() {
  setenv("SDL_RENDER_DRIVER", "opengl,opengles2,vulkan", 0);
  decorate_with_cairo();
}

// The compositor's socket, as libwayland finds it; empty when it cannot be told. Found once, so
// that the checks below allocate nothing and can run in a signal handler.
sockaddr_un wayland_socket = {AF_UNIX, ""};

void find_wayland_socket() {
  const char* name = getenv("WAYLAND_DISPLAY");
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (!name) name = "wayland-0";
  std::string path = name[0] == '/' ? name : runtime ? std::string(runtime) + "/" + name : "";
  if (path.size() < sizeof wayland_socket.sun_path)
    std::memcpy(wayland_socket.sun_path, path.c_str(), path.size() + 1);
}

// Whether the compositor has ended the show's own connection to it (SDL's, and any its OpenGL or
// Vulkan driver keeps). A compositor can go on taking new connections on its socket for a while
// after it has let its clients go, as it shuts down, but a connection it has ended stays ended:
// this cannot race. "connections" counts those found: none, when it cannot be told. System calls
// only.
bool connection_ended(int& connections) {
  connections = 0;
  bool ended = false;
  if (!wayland_socket.sun_path[0]) return false;
  int fds = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fds < 0) return false;
  alignas(dirent64) char entries[4096];
  for (ssize_t size; (size = getdents64(fds, entries, sizeof entries)) > 0;) {
    for (ssize_t at = 0; at < size; at += reinterpret_cast<dirent64*>(entries + at)->d_reclen) {
      int fd = 0;
      for (const char* digit = reinterpret_cast<dirent64*>(entries + at)->d_name;
           *digit >= '0' && *digit <= '9'; digit++)
        fd = fd * 10 + (*digit - '0');
      sockaddr_un peer = {};
      socklen_t peer_size = sizeof peer;
      if (fd <= 2 || fd == fds ||
          getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0 ||
          peer.sun_family != AF_UNIX ||
          std::strncmp(peer.sun_path, wayland_socket.sun_path, sizeof peer.sun_path) != 0)
        continue;
      connections++;
      pollfd connection = {fd, POLLRDHUP, 0};
      if (poll(&connection, 1, 0) == 1 && (connection.revents & (POLLHUP | POLLRDHUP | POLLERR)))
        ended = true;
    }
  }
  close(fds);
  return ended;
}

// A compositor that has gone refuses new connections on its socket. Only for a connection the
// show cannot find (one handed over in WAYLAND_SOCKET).
bool wayland_compositor_answers() {
  if (!wayland_socket.sun_path[0]) return true;  // take it as there
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  bool answers =
      connect(fd, reinterpret_cast<const sockaddr*>(&wayland_socket), sizeof wayland_socket) == 0;
  close(fd);
  return answers;
}

// SDL reports both a close request and a lost compositor as a quit.
bool wayland_compositor_lost() {
  int connections = 0;
  bool ended = connection_ended(connections);
  return connections ? ended : !wayland_compositor_answers();
}

// Its exit handlers would call SDL_Quit, which can wait on the dead connection for good. Said
// once, by whichever thread finds it first; the others wait for the end.
[[noreturn]] int display_lost(void*) {
  static std::atomic_flag said = ATOMIC_FLAG_INIT;
  if (said.test_and_set())
    for (;;) pause();
  static const char line[] = "show: the display was lost\n";
  ssize_t written = write(STDERR_FILENO, line, sizeof line - 1);
  (void)written;
  _exit(exit_display_lost);
}

// SDL 2.32 can crash as it opens the window when the compositor has just ended its connection
// (the window's objects were never made). That is a lost display, and the show says so; any
// other fault goes on as before: to the sanitizers' handler, or the default, with a core.
struct sigaction fault_handling_before[2];
constexpr int faults[2] = {SIGSEGV, SIGBUS};

void on_fault(int fault, siginfo_t* info, void*) {
  if (wayland_compositor_lost()) display_lost(nullptr);
  for (int i = 0; i < 2; i++) sigaction(faults[i], &fault_handling_before[i], nullptr);
  if (info->si_code <= 0) raise(fault);  // one sent by a process comes again; a real one recurs
}

void report_faults_after_a_lost_connection() {
  struct sigaction handling = {};
  handling.sa_sigaction = on_fault;
  handling.sa_flags = SA_SIGINFO;
  for (int i = 0; i < 2; i++) sigaction(faults[i], &handling, &fault_handling_before[i]);
}

// SDL, waiting for a new window's first configure event, and libdecor's cairo plugin, dispatching
// events, can both spin for good once the connection has broken, and never report it: a
// compositor that goes then would hold the show at full CPU. A thread watches the show's own
// connection for the whole show.
void watch_the_connection() {
  std::thread([] {
    for (;;) {
      int connections = 0;
      if (connection_ended(connections)) display_lost(nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }).detach();
}

// What Xlib reports of a failed request (the start of its XErrorEvent, whose layout is fixed).
struct XErrorReport {
  int type;
  void* display;
  unsigned long resource;
  unsigned long serial;
  unsigned char error_code, request_code, minor_code;
};
constexpr unsigned char kBadWindow = 3, kBadDrawable = 9;

// Xlib's own error handler calls exit(1), the status of a show that reached its end, and the exit
// handlers then wait on the display from inside the handler for good. The show's window gone from
// under it (an ending compositor's Xwayland takes the windows before the connections) is a lost
// display; any other error is passed over.
int on_x_error(void*, XErrorReport* error) {
  if (error->error_code == kBadWindow || error->error_code == kBadDrawable) display_lost(nullptr);
  return 0;
}

// The installed icon's PNG, built in, so that the window carries it wherever the show runs from.
extern "C" const unsigned char show_icon_png[], show_icon_png_end[];
asm(".pushsection .rodata\n"
    ".hidden show_icon_png, show_icon_png_end\n"
    "show_icon_png:\n"
    ".incbin \"" SHOW_ICON_PNG
    "\"\n"
    "show_icon_png_end:\n"
    ".popsection\n");

// Xlib calls its handlers when the connection to the display breaks, and when a request fails;
// its own ones call exit(), with the status of a show that reached its end, and the exit handlers
// then wait on the broken connection, which can hang. Set as soon as Xlib is loaded, so that an X
// server that goes while SDL starts is a lost display too, and again once the window is open.
void end_show_when_x_server_is_lost() {
  void* xlib = dlopen("libX11.so.6", RTLD_LAZY | RTLD_NOLOAD);
  if (!xlib) return;
  using Handler = int (*)(void*);
  auto set_io_error_handler =
      reinterpret_cast<Handler (*)(Handler)>(dlsym(xlib, "XSetIOErrorHandler"));
  if (set_io_error_handler) set_io_error_handler(display_lost);
  using ErrorHandler = int (*)(void*, XErrorReport*);
  auto set_error_handler =
      reinterpret_cast<ErrorHandler (*)(ErrorHandler)>(dlsym(xlib, "XSetErrorHandler"));
  if (set_error_handler) set_error_handler(on_x_error);
  dlclose(xlib);
}

// A display that the show found as it started and that has gone since, before SDL had a window on
// it, is a lost display too.
void end_show_if_display_went() {
  int connections = 0;
  if (connection_ended(connections) || x_server_gone() ||
      (wayland_answered && !connections && !wayland_compositor_answers()))
    display_lost(nullptr);
}

}  // namespace

void prepare_desktop() {
  // A write to a display that has gone raises SIGPIPE, which would end the show by its default
  // action (status 141); ignored, the write fails and the lost display is reported as such.
  std::signal(SIGPIPE, SIG_IGN);
  find_wayland_socket();
  quiet_alsa();
  name_the_application();
  const char* chosen = getenv("SDL_VIDEODRIVER");
  driver_chosen = chosen != nullptr;
  bool x11 = chosen ? std::strcmp(chosen, "x11") == 0 : x_server_answers();
  if (x11) {
    setenv("SDL_VIDEODRIVER", "x11", 0);
    present_in_software();
    end_show_when_x_server_is_lost();
  } else if (chosen ? std::strcmp(chosen, "wayland") == 0 : getenv("WAYLAND_DISPLAY") != nullptr) {
    wayland_answered = wayland_compositor_answers();
    present_on_wayland();
    watch_the_connection();
    report_faults_after_a_lost_connection();
  }
}

void name_the_window() {
  SDL_WM_SetCaption("Brimvale Show", "Brimvale Show");
  SDL_RWops* png = SDL_RWFromConstMem(show_icon_png, show_icon_png_end - show_icon_png);
  if (SDL_Surface* icon = IMG_Load_RW(png, 1)) {
    SDL_WM_SetIcon(icon, nullptr);
    SDL_FreeSurface(icon);
  }
}

const char* why_no_window() {
  end_show_if_display_went();
  // Where no display answered as the show started, that is the reason; SDL's own (SDL 3 has no
  // driver to fall back on) says less.
  if (!driver_chosen && !x_probe && !wayland_answered) return kNoDisplay;
  static std::string why;
  char driver[32] = "";
  SDL_VideoDriverName(driver, sizeof driver);
  why = *SDL_GetError() ? SDL_GetError()
                        : std::string("SDL's ") + (*driver ? driver : "chosen") +
                              " video driver gave no reason";
  return why.c_str();
}

// SDL's last resort where it finds no display, its offscreen driver, opens windows that nobody
// sees. Unless the user chose it, the show has no window there.
const char* why_no_display() {
  char driver[32] = "";
  SDL_VideoDriverName(driver, sizeof driver);
  if (driver_chosen || (std::strcmp(driver, "offscreen") != 0 && std::strcmp(driver, "dummy") != 0))
    return nullptr;
  end_show_if_display_went();
  return kNoDisplay;
}

void end_show_when_display_is_lost() {
  if (x_probe) close_x_probe(x_probe);
  x_probe = nullptr;
  end_show_when_x_server_is_lost();
}

void end_show_on_quit() {
  char driver[32] = "";
  SDL_VideoDriverName(driver, sizeof driver);
  if (std::strcmp(driver, "wayland") == 0 && wayland_compositor_lost()) display_lost(nullptr);
  std::exit(exit_closed_by_user);
}
