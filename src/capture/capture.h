// show-capture: renders the show pass by pass, with no window and no sound device, and encodes
// every frame with the music into a video file.
#pragma once

#include <cstdint>
#include <string>

// The encoder: FFmpeg on a pipe, writing to OUTPUT.partial until it has finished well, and only
// then renaming it to OUTPUT. Each call returns false on failure, with the reason in
// encoder_error.
extern std::string encoder_error;
// The codecs follow the output's extension: ".mp4" (H.264 and AAC), ".mkv" (lossless RGB H.264
// and FLAC) or ".ffv1.mkv" (lossless FFV1 and FLAC, as archives prefer). The sound is the music
// file from its start to its sample frame audio_end.
bool open_encoder(const std::string& output, const char* music, int width, int height, int fps,
                  int64_t audio_end);
// One frame of width x height pixels, 32 bits each, blue first in memory.
bool encode_frame(const void* pixels);
bool finish_encoder();
// Stops the encoder and removes what it wrote. Safe in a signal handler.
void abandon_encoder();
