// An output stream whose clock plays back planned positions, the last one from then on.
#pragma once

#include <vector>

#include "audio.h"

struct ScriptedStream : audio::OutputStream {
  std::vector<int> positions;
  size_t next = 0;
  int plays = 0, readings = 0;
  explicit ScriptedStream(std::vector<int> planned) : positions(std::move(planned)) {}
  void play() override { plays++; }
  int getPosition() override {
    readings++;
    return next < positions.size() ? positions[next++] : positions.back();
  }
  void setRepeat(bool) override {}
  bool getRepeat() override { return false; }
  void setVolume(float) override {}
  float getVolume() override { return 1; }
};
