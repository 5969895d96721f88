#pragma once

#include <string>

#include "media/FfmpegSupport.h"

namespace tiloran {

// What a quadrant without signal shows: a neutral dark grey picture with
// "NO SIGNAL" and the quadrant's name below it in large light letters, drawn
// from a built-in 5x7 font (letters are shown in capitals; characters it
// lacks show as "?"). The top eighth of the picture stays plain grey.
inline constexpr uint8_t kSlateLuma = 64;
inline constexpr uint8_t kSlateTextLuma = 200;

// Draws the slate into frame, an NV12 frame with its buffer.
bool drawNoSignalSlate(AVFrame *frame, const std::string &name, std::string &message);

} // namespace tiloran
