#pragma once

#include <cstdint>
#include <vector>

#include "FakeCardMode.h"

namespace fakecard {

struct Colour {
	std::uint8_t y, u, v;
};

// What a picture buffer holds, so that a buffer is only redrawn where needed.
struct BufferContent {
	// The generator that drew it last; none for anything else.
	const void *generator = nullptr;
	// The picture it holds; kBlack for the black of a picture without signal.
	std::int64_t picture = -1;
	static constexpr std::int64_t kBlack = -2;
};

// Draws one device's pictures in 8-bit 4:2:2 (UYVY byte order): a band of the
// device's colour across the top (as tall as a test input's band), still
// colour bars below it, and a white box that moves across with each picture,
// or each field of an interlaced mode. A buffer that already holds a picture
// of the same generator only has the box's rows drawn again, so that four
// devices at 1920x1080 cost next to nothing.
class PictureGenerator
{
public:
	PictureGenerator(const Mode &mode, Colour band);

	int rowBytes() const { return mode_.width * 2; }
	std::size_t size() const { return std::size_t(rowBytes()) * std::size_t(mode_.height); }

	void draw(std::vector<std::uint8_t> &buffer, BufferContent &content, std::int64_t picture) const;
	void drawBlack(std::vector<std::uint8_t> &buffer, BufferContent &content) const;

private:
	int boxLeft(std::int64_t picture, int row) const;
	void drawBoxRows(std::uint8_t *buffer, std::int64_t picture) const;

	Mode mode_;
	std::vector<std::uint8_t> background_;
	int boxTop_ = 0;
	int boxHeight_ = 0;
	int boxWidth_ = 0;
};

// The embedded audio of a device: each pair of channels carries a sine tone
// at -18 dBFS of its own, both channels alike, pair p (from 1) at frequency
// + 1000 x (p - 1) Hz, as the worker's test inputs do. A tone is a whole
// number of cycles per 48000 samples, so one period is computed once and
// repeated.
class ToneGenerator
{
public:
	ToneGenerator(int frequency, int channels);

	int channels() const { return channels_; }
	// Writes count sample frames (channels samples each), starting at sample
	// number first of a 48 kHz clock.
	void fill(std::int16_t *samples, std::int64_t first, int count) const;

private:
	int channels_;
	std::int64_t period_;
	// One period, sample frame after sample frame.
	std::vector<std::int16_t> table_;
};

} // namespace fakecard
