#include "FakeCardPicture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace fakecard {

namespace {

// The bars below the band: 75 % colour bars in BT.601 limited range.
constexpr Colour kBars[] = {
	{ 180, 128, 128 }, { 162, 44, 142 }, { 131, 156, 44 }, { 112, 72, 58 },
	{ 84, 184, 198 },  { 65, 100, 212 }, { 35, 212, 114 }, { 16, 128, 128 },
};
constexpr Colour kBox = { 235, 128, 128 };
constexpr Colour kBlack = { 16, 128, 128 };

void fillPixels(std::uint8_t *row, int left, int width, Colour colour)
{
	for (int x = left; x < left + width; x += 2) {
		std::uint8_t *pair = row + 2 * x;
		pair[0] = colour.u;
		pair[1] = colour.y;
		pair[2] = colour.v;
		pair[3] = colour.y;
	}
}

} // namespace

PictureGenerator::PictureGenerator(const Mode &mode, Colour band) : mode_(mode)
{
	const int width = mode.width;
	const int height = mode.height;
	// As tall as a test input's band: the top eighth, a multiple of 4 lines.
	const int bandHeight = height / 8 / 4 * 4;
	background_.resize(size());
	for (int y = 0; y < height; ++y) {
		std::uint8_t *row = background_.data() + std::size_t(y) * rowBytes();
		if (y < bandHeight) {
			fillPixels(row, 0, width, band);
			continue;
		}
		const int barWidth = (width / 8) & ~1;
		for (int bar = 0; bar < 8; ++bar) {
			const int left = bar * barWidth;
			fillPixels(row, left, bar == 7 ? width - left : barWidth, kBars[bar]);
		}
	}
	boxHeight_ = std::max(2, height / 8);
	boxTop_ = (height - boxHeight_) / 2;
	boxWidth_ = std::max(2, (width / 8) & ~1);
}

int PictureGenerator::boxLeft(std::int64_t picture, int row) const
{
	// Interlaced pictures carry two moments: the first field's rows (even ones
	// upper field first, odd ones lower field first) the earlier.
	const int field = mode_.lowerFieldFirst ? 1 - row % 2 : row % 2;
	const std::int64_t moment = mode_.interlaced ? 2 * picture + field : picture;
	const int step = std::max(2, (mode_.width / 50) & ~1);
	const int travel = std::max(2, mode_.width - boxWidth_);
	return int((moment * step) % travel) & ~1;
}

void PictureGenerator::drawBoxRows(std::uint8_t *buffer, std::int64_t picture) const
{
	const std::size_t first = std::size_t(boxTop_) * rowBytes();
	std::memcpy(buffer + first, background_.data() + first, std::size_t(boxHeight_) * rowBytes());
	for (int y = boxTop_; y < boxTop_ + boxHeight_; ++y)
		fillPixels(buffer + std::size_t(y) * rowBytes(), boxLeft(picture, y), boxWidth_, kBox);
}

void PictureGenerator::draw(std::vector<std::uint8_t> &buffer, BufferContent &content, std::int64_t picture) const
{
	if (content.generator != this || content.picture < 0) {
		buffer = background_;
		content.generator = this;
	}
	drawBoxRows(buffer.data(), picture);
	content.picture = picture;
}

void PictureGenerator::drawBlack(std::vector<std::uint8_t> &buffer, BufferContent &content) const
{
	if (content.generator == this && content.picture == BufferContent::kBlack)
		return;
	buffer.resize(size());
	for (int y = 0; y < mode_.height; ++y)
		fillPixels(buffer.data() + std::size_t(y) * rowBytes(), 0, mode_.width, kBlack);
	content.generator = this;
	content.picture = BufferContent::kBlack;
}

void fillTone(std::int16_t *samples, std::int64_t first, int count, int frequency)
{
	constexpr double amplitude = 32768.0 / 8;
	for (int index = 0; index < count; ++index) {
		// The phase of a whole number of samples, kept small so that it stays exact.
		const std::int64_t sample = (first + index) % 48000;
		const double value = amplitude * std::sin(2 * std::numbers::pi * double(frequency) * double(sample) / 48000.0);
		const auto level = std::int16_t(std::lround(value));
		samples[2 * index] = level;
		samples[2 * index + 1] = level;
	}
}

} // namespace fakecard
