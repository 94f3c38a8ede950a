// Watches the unchanged show from outside, loaded with LD_PRELOAD: it wraps the SDL and
// SDL_image calls a pass makes, the steady clock the music clock reads on the main thread, the
// audio output's handovers (SDL's audio callback, or writes to the sound server) and exit(). At
// exit it writes what it saw to $SHOW_PROBE_REPORT, and the handovers (wall time in s, frames)
// to $SHOW_PROBE_CALLBACKS if set, and its flips (wall time in s when the flip returned, how long
// it took in ms, and how long the main thread had waited for a CPU so far, in ms) to
// $SHOW_PROBE_FLIPS if set.
// $SHOW_PROBE_LAUNCH_NS is the wall-clock time (ns) at which the process was started; the wall
// times of the first frame and of the first handover (where the music clock starts) go to
// $SHOW_PROBE_FIRST_FRAME and $SHOW_PROBE_MUSIC_START at once, if set. With
// $SHOW_PROBE_STALL_MS, a handover is held that long once, $SHOW_PROBE_STALL_AT seconds
// after the first, as a starved audio thread would be.
#include <SDL.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

double wall_seconds() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec + now.tv_nsec * 1e-9;
}

bool on_main_thread() {
  thread_local bool main_thread = syscall(SYS_gettid) == getpid();
  return main_thread;
}

long resident_kib() {
  long pages = 0, resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

enum Pass : uint8_t { kPicturePass, kEffectPass };
struct Frame {
  double at;
  uint32_t waited_us;  // the main thread's time on the run queue, so far
  uint16_t flip_us;    // capped
  Pass pass;
};
struct MemorySample {
  double at;
  long kib;
};

// Reserved and touched up front, so that recording does not grow the process while it runs.
constexpr size_t kMaxFrames = 1 << 18, kMaxSamples = 1 << 12;
Frame* frames;
MemorySample* memory;
size_t frame_count = 0, sample_count = 0;
double launch = 0, first_callback = 0, last_reading = 0, largest_reading_gap = 0;
bool effect_since_flip = false;
int main_thread_schedstat = -1;
const char* const rows[] = {"step1.png", "this is coffee.png", "the_machine.png", "q_portal.png",
                            "canvas",    "all_done.png"};
int row_hits[6];
double row_shown_at[6];  // wall time of the first flip after the row first acted
bool row_pending[6];
SDL_AudioSpec wrapped_spec;
double callback_gap_max = 0;
long callback_frames = 0;
struct Callback {
  double at;
  int frames;
};
Callback* callbacks;
size_t callback_count = 0;

__attribute__((constructor)) void start_probe() {
  frames = static_cast<Frame*>(std::calloc(kMaxFrames, sizeof(Frame)));
  memory = static_cast<MemorySample*>(std::calloc(kMaxSamples, sizeof(MemorySample)));
  callbacks = static_cast<Callback*>(std::calloc(kMaxFrames, sizeof(Callback)));
  std::memset(callbacks, 1, kMaxFrames * sizeof(Callback));
  std::memset(frames, 1, kMaxFrames * sizeof(Frame));
  std::memset(memory, 1, kMaxSamples * sizeof(MemorySample));
  const char* launched = std::getenv("SHOW_PROBE_LAUNCH_NS");
  launch = launched ? std::atof(launched) * 1e-9 : wall_seconds();
  main_thread_schedstat = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
}

// How long the main thread has waited for a CPU: the kernel's second figure, in ns.
uint32_t main_thread_waited_us() {
  char text[96];
  ssize_t length =
      main_thread_schedstat < 0 ? -1 : pread(main_thread_schedstat, text, sizeof text - 1, 0);
  if (length <= 0) return 0;
  text[length] = 0;
  unsigned long long running = 0, waiting = 0;
  return std::sscanf(text, "%llu %llu", &running, &waiting) == 2 ? waiting / 1000 : 0;
}

// Written at once, for a watcher that times its screenshots from the show's start.
void announce(const char* variable, double at) {
  const char* path = std::getenv(variable);
  FILE* file = path ? std::fopen(path, "w") : nullptr;
  if (!file) return;
  std::fprintf(file, "%.6f\n", at);
  std::fclose(file);
}

void hit(const char* row) {
  for (int i = 0; i < 6; i++)
    if (std::strcmp(rows[i], row) == 0 && row_hits[i]++ == 0) row_pending[i] = true;
}

// Each buffer the output takes from the show: an SDL audio callback, or a write to the sound
// server.
void handed_over(int bytes) {
  static double previous = 0;
  double now = wall_seconds();
  if (first_callback == 0) announce("SHOW_PROBE_MUSIC_START", first_callback = now);
  static const char* stall_ms = std::getenv("SHOW_PROBE_STALL_MS");
  static const char* stall_at = std::getenv("SHOW_PROBE_STALL_AT");
  static bool stalled = false;
  if (stall_ms && stall_at && !stalled && now - first_callback >= std::atof(stall_at)) {
    stalled = true;
    usleep(static_cast<useconds_t>(std::atof(stall_ms) * 1000));
  }
  if (previous && now - previous > callback_gap_max) callback_gap_max = now - previous;
  previous = now;
  callback_frames += bytes / 4;
  if (callback_count < kMaxFrames) callbacks[callback_count++] = {now, bytes / 4};
}

void SDLCALL timed_callback(void* userdata, Uint8* stream, int bytes) {
  handed_over(bytes);
  wrapped_spec.callback(userdata, stream, bytes);
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

void write_report(int status) {
  double end = wall_seconds();
  const char* path = std::getenv("SHOW_PROBE_REPORT");
  FILE* out = path ? std::fopen(path, "w") : stderr;
  if (!out) return;
  std::vector<double> picture_times, effect_times;
  for (size_t i = 1; i < frame_count; i++)
    (frames[i].pass == kEffectPass ? effect_times : picture_times)
        .push_back((frames[i].at - frames[i - 1].at) * 1000);
  auto print_times = [&](const char* name, const std::vector<double>& times) {
    std::fprintf(out, "%s_frames %zu\n%s_p50_ms %.2f\n%s_p99_ms %.2f\n%s_max_ms %.2f\n", name,
                 times.size(), name, percentile(times, 0.5), name, percentile(times, 0.99), name,
                 percentile(times, 1.0));
  };
  std::fprintf(out, "status %d\n", status);
  std::fprintf(out, "first_frame_ms %.1f\n", frame_count ? (frames[0].at - launch) * 1000 : -1);
  print_times("picture", picture_times);
  print_times("effect", effect_times);
  std::fprintf(out, "largest_reading_gap_ms %.2f\n", largest_reading_gap * 1000);
  for (int i = 0; i < 6; i++)
    std::fprintf(out, "row%d_hits %d\nrow%d_shown_wall %.6f\n", i + 1, row_hits[i], i + 1,
                 row_shown_at[i]);
  std::fprintf(out, "end_wall %.6f\n", end);
  std::fprintf(out, "callback_gap_max_ms %.1f\nhanded_seconds %.3f\n", callback_gap_max * 1000,
               callback_frames / 44100.0);
  // Without handovers (the silent output) the music starts at the first pass, before its frame.
  double music_start = first_callback ? first_callback : frame_count ? frames[0].at : 0;
  std::fprintf(out, "music_to_end_ms %.1f\n", music_start ? (end - music_start) * 1000 : -1);
  long at_one_second = 0, peak = 0, last = 0;
  for (size_t i = 0; i < sample_count; i++) {
    if (!at_one_second && memory[i].at - launch >= 1.0) at_one_second = memory[i].kib;
    peak = std::max(peak, memory[i].kib);
    last = memory[i].kib;
  }
  std::fprintf(out, "peak_rss_kib %ld\nrss_growth_kib %ld\n", peak, last - at_one_second);
  if (out != stderr) std::fclose(out);
  const char* callback_path = std::getenv("SHOW_PROBE_CALLBACKS");
  if (FILE* log = callback_path ? std::fopen(callback_path, "w") : nullptr) {
    for (size_t i = 0; i < callback_count; i++)
      std::fprintf(log, "%.6f %d\n", callbacks[i].at, callbacks[i].frames);
    std::fclose(log);
  }
  const char* flips_path = std::getenv("SHOW_PROBE_FLIPS");
  if (FILE* log = flips_path ? std::fopen(flips_path, "w") : nullptr) {
    for (size_t i = 0; i < frame_count; i++)
      std::fprintf(log, "%.6f %.3f %.3f\n", frames[i].at, frames[i].flip_us / 1000.0,
                   frames[i].waited_us / 1000.0);
    std::fclose(log);
  }
}

}  // namespace

extern "C" {

int SDL_Flip(SDL_Surface* surface) {
  static auto flip = real<int (*)(SDL_Surface*)>("SDL_Flip");
  double asked = wall_seconds();
  int result = flip(surface);
  double now = wall_seconds();
  if (frame_count == 0) announce("SHOW_PROBE_FIRST_FRAME", now);
  if (frame_count < kMaxFrames)
    frames[frame_count++] = {now, main_thread_waited_us(),
                             static_cast<uint16_t>(std::min((now - asked) * 1e6, 65535.0)),
                             effect_since_flip ? kEffectPass : kPicturePass};
  effect_since_flip = false;
  for (int i = 0; i < 6; i++)
    if (row_pending[i]) row_shown_at[i] = now, row_pending[i] = false;
  if (sample_count < kMaxSamples && (sample_count == 0 || now - memory[sample_count - 1].at > 0.05))
    memory[sample_count++] = {now, resident_kib()};
  return result;
}

SDL_Surface* IMG_Load(const char* file) {
  static auto load = real<SDL_Surface* (*)(const char*)>("IMG_Load");
  hit(file);
  effect_since_flip = false;  // a picture installed after the effect frame replaces it
  return load(file);
}

SDL_Surface* SDL_CreateRGBSurface(Uint32 flags, int width, int height, int depth, Uint32 r,
                                  Uint32 g, Uint32 b, Uint32 a) {
  static auto create =
      real<SDL_Surface* (*)(Uint32, int, int, int, Uint32, Uint32, Uint32, Uint32)>(
          "SDL_CreateRGBSurface");
  if (on_main_thread() && width == 1024 && height == 768 && depth == 32) {
    hit("canvas");
    effect_since_flip = true;
  }
  return create(flags, width, height, depth, r, g, b, a);
}

int SDL_OpenAudio(SDL_AudioSpec* desired, SDL_AudioSpec* obtained) {
  static auto open = real<int (*)(SDL_AudioSpec*, SDL_AudioSpec*)>("SDL_OpenAudio");
  wrapped_spec = *desired;
  SDL_AudioSpec timed = *desired;
  timed.callback = timed_callback;
  return open(&timed, obtained);
}

// libpulse's, declared here without its headers.
int pa_stream_write(void* stream, const void* data, size_t bytes, void (*free_data)(void*),
                    int64_t offset, int seek) {
  static auto write =
      real<int (*)(void*, const void*, size_t, void (*)(void*), int64_t, int)>("pa_stream_write");
  handed_over(static_cast<int>(bytes));
  return write(stream, data, bytes, free_data, offset, seek);
}

[[noreturn]] void exit(int status) {
  static auto real_exit = real<void (*)(int)>("exit");
  write_report(status);
  real_exit(status);
  std::abort();
}

}  // extern "C"

// The music clock reads the steady clock once per reading; only it does so on the main thread.
std::chrono::steady_clock::time_point std::chrono::_V2::steady_clock::now() noexcept {
  static auto now = real<time_point (*)()>("_ZNSt6chrono3_V212steady_clock3nowEv");
  time_point result = now();
  if (on_main_thread()) {
    double at = std::chrono::duration<double>(result.time_since_epoch()).count();
    if (last_reading != 0) largest_reading_gap = std::max(largest_reading_gap, at - last_reading);
    last_reading = at;
  }
  return result;
}
