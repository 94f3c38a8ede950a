// Shared between the files of the audio library only.
#pragma once

#include <string>

#include "audio.h"

namespace audio {

void set_last_error(const std::string& text);
// Decodes the whole of source into memory and returns a source that reads from there.
SampleSource* load_into_memory(SampleSource* source);

}  // namespace audio
