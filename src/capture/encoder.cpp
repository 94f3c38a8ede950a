#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "capture.h"

std::string encoder_error;

namespace {

pid_t encoder_pid = 0;
int frames_pipe = -1, encoder_log = -1;
size_t frame_bytes = 0;
std::string output_path;
char partial_path[4096];  // a plain copy, for abandon_encoder() in a signal handler

bool ends_with(const std::string& text, const char* end) {
  size_t length = std::strlen(end);
  return text.size() >= length && text.compare(text.size() - length, length, end) == 0;
}

// The encoder's last words: the last line it wrote to its log.
std::string encoder_said() {
  std::string log;
  char buffer[4096];
  lseek(encoder_log, 0, SEEK_SET);
  for (ssize_t count; (count = read(encoder_log, buffer, sizeof buffer)) > 0;)
    log.append(buffer, count);
  while (!log.empty() && (log.back() == '\n' || log.back() == '\r')) log.pop_back();
  size_t line = log.find_last_of("\r\n");
  log = line == std::string::npos ? log : log.substr(line + 1);
  return log.empty() ? "it said nothing" : log;
}

bool fail(const std::string& why) {
  encoder_error = why;
  abandon_encoder();
  return false;
}

}  // namespace

bool open_encoder(const std::string& output, const char* music, int width, int height, int fps,
                  int64_t audio_end) {
  std::vector<std::string> codecs;
  if (ends_with(output, ".mp4"))
    codecs = {"-c:v",      "libx264",    "-preset", "veryfast", "-crf", "18",
              "-pix_fmt",  "yuv420p",    "-c:a",    "aac",      "-b:a", "192k",
              "-movflags", "+faststart", "-f",      "mp4"};
  else if (ends_with(output, ".ffv1.mkv"))
    codecs = {"-c:v",     "ffv1", "-level", "3",    "-slices", "4",
              "-pix_fmt", "bgr0", "-c:a",   "flac", "-f",      "matroska"};
  // Lossless RGB H.264 encodes several times faster than FFV1 here and its file is a thirtieth
  // of the size: the frames are mostly flat pictures and sparse dots.
  else if (ends_with(output, ".mkv"))
    codecs = {"-c:v",     "libx264rgb", "-qp",  "0",    "-preset", "ultrafast",
              "-pix_fmt", "bgr0",       "-c:a", "flac", "-f",      "matroska"};
  else
    return fail("\"" + output + "\": the output must end in .mp4, .mkv or .ffv1.mkv");

  output_path = output;
  std::string partial = output + ".partial";
  if (partial.size() >= sizeof partial_path) return fail("\"" + output + "\": name too long");
  std::strcpy(partial_path, partial.c_str());
  int probe = open(partial_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (probe < 0) return fail("cannot write \"" + output + "\": " + std::strerror(errno));
  close(probe);

  char log_name[] = "/tmp/show-capture-XXXXXX";
  encoder_log = mkstemp(log_name);
  if (encoder_log < 0) return fail(std::string("cannot make a log: ") + std::strerror(errno));
  unlink(log_name);

  std::vector<std::string> arguments = {
      "ffmpeg",       "-nostdin",
      "-hide_banner", "-loglevel",
      "error",        "-y",
      "-f",           "rawvideo",
      "-pix_fmt",     "bgr0",
      "-video_size",  std::to_string(width) + "x" + std::to_string(height),
      "-framerate",   std::to_string(fps),
      "-i",           "pipe:0",
      "-i",           music,
      "-map",         "0:v:0",
      "-map",         "1:a:0",
      "-af",          "atrim=end_sample=" + std::to_string(audio_end)};
  arguments.insert(arguments.end(), codecs.begin(), codecs.end());
  arguments.push_back(partial);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return fail(std::string("no pipe: ") + std::strerror(errno));
  encoder_pid = fork();
  if (encoder_pid == 0) {
    dup2(fds[0], 0);
    dup2(encoder_log, 1);
    dup2(encoder_log, 2);
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "cannot run ffmpeg: %s\n", std::strerror(errno));
    _exit(127);
  }
  if (encoder_pid < 0) return fail(std::string("cannot start ffmpeg: ") + std::strerror(errno));
  close(fds[0]);
  frames_pipe = fds[1];
  fcntl(frames_pipe, F_SETPIPE_SZ, 1 << 20);  // fewer, larger hand-overs to the encoder
  frame_bytes = static_cast<size_t>(width) * height * 4;
  signal(SIGPIPE, SIG_IGN);  // a dead encoder shows as a failed write
  return true;
}

bool encode_frame(const void* pixels) {
  const char* at = static_cast<const char*>(pixels);
  for (size_t left = frame_bytes; left > 0;) {
    ssize_t count = write(frames_pipe, at, left);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return fail("the encoder stopped: " + encoder_said());
    at += count;
    left -= count;
  }
  return true;
}

bool finish_encoder() {
  close(frames_pipe);
  frames_pipe = -1;
  int status = 0;
  while (waitpid(encoder_pid, &status, 0) < 0 && errno == EINTR) {
  }
  encoder_pid = 0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return fail("the encoder failed: " + encoder_said());
  if (rename(partial_path, output_path.c_str()) != 0)
    return fail("cannot write \"" + output_path + "\": " + std::strerror(errno));
  return true;
}

void abandon_encoder() {
  if (encoder_pid > 0) {
    kill(encoder_pid, SIGKILL);
    waitpid(encoder_pid, nullptr, 0);
    encoder_pid = 0;
  }
  if (partial_path[0]) unlink(partial_path);
}
