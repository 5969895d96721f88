#pragma once

// Opening the input behind one quadrant. A capture card is opened through
// FFmpeg's "decklink" input device by its display name. A test-pattern input
// (source ids "test-K", offered by the server's --test-inputs option) is a
// live source built from FFmpeg's "lavfi" input device that behaves like a
// card: raw UYVY 4:2:2 video paced in real time at the mode's rate, the field
// order of interlaced modes on the stream (top field first), no average frame
// rate on the stream (only the real base rate, as a card reports it) and 16
// embedded channels of 48 kHz signed 16-bit PCM audio. Whatever reads the
// opened input is unaware of its kind.
//
// Test input K shows FFmpeg's moving test picture with a flat band in its own
// colour across the full width of the top of the picture (the top eighth,
// rounded down to a multiple of 4 lines), and carries on each pair of its 16
// channels a sine tone at -18 dBFS of its own, both channels alike: pair p
// (channels 2p - 1 and 2p) at K x 250 + (p - 1) x 1000 Hz, so that channels 1
// and 2 carry K x 250 Hz. The band's colour in the NV12 pictures of the
// capture (BT.601, limited range):
//
//   K  colour   RGB       Y    U    V
//   1  red      FF0000    82   90  240
//   2  green    00FF00   145   54   34
//   3  blue     0000FF    41  240  110
//   4  yellow   FFFF00   210   16  146
//   5  cyan     00FFFF   170  166   16
//   6  magenta  FF00FF   106  202  222
//   7  orange   FF8000   146   53  193
//   8  white    FFFFFF   235  128  128
//
// Any two of them differ by at least 64 in one component.
// The chroma of the band's last lines blends with the picture below it when
// converted to 4:2:0, so check colours in the band's upper part.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/AudioChannels.h"
#include "config/WorkerConfig.h"
#include "media/FfmpegSupport.h"

namespace tiloran {

// Opens the quadrant's input and reads its stream information. Capture cards
// are opened by source_name with the device option "raw_format" "2" and
// audioChannels embedded channels (2, 8 or 16); source ids beginning with
// "test-" open the test-pattern input that source_name ("Test Input K
// (MODE)") describes, which always has 16.
bool openSourceInput(const QuadrantConfig &quadrant, int32_t audioChannels, InputFormatContextHolder &input,
		     std::string &message);

// How SourceCapture opens its input; openSourceInput unless a caller needs
// another input (tests use short test patterns that end).
using SourceInputOpener = std::function<bool(const QuadrantConfig &quadrant, int32_t audioChannels,
					     InputFormatContextHolder &input, std::string &message)>;

// A test input's picture mode: WIDTHxHEIGHT, then "p" and frames per second or
// "i" and fields per second. Rates 23.98, 29.97 and 59.94 stand for
// 24000/1001, 30000/1001 and 60000/1001.
struct TestInputMode {
	int width = 0;
	int height = 0;
	bool interlaced = false;
	// Frames (not fields) per second.
	AVRational frameRate = { 0, 1 };
};

// The modes the server offers: even widths and heights from 16 to 8192, rates
// (of frames or fields) from 1 to 120 per second or 23.98, 29.97 and 59.94.
bool parseTestInputMode(std::string_view text, TestInputMode &mode);

struct TestPattern {
	// K, from 1 to kTestInputCount.
	int number = 0;
	TestInputMode mode;
	// Ends the input after this many pictures (and as much audio); negative:
	// the input never ends, as a card.
	int64_t frameLimit = -1;
	// Draws the code strip (below) when the picture is wide and tall enough.
	bool codeStrip = false;
};

inline constexpr int kTestInputCount = 8;

// Parses "Test Input K (MODE)". Returns false with a message naming the source
// when the name is malformed, K is out of range or the mode is unknown.
bool parseTestInputName(const std::string &sourceName, TestPattern &pattern, std::string &message);

// Opens a test-pattern input; sourceName only appears in messages.
bool openTestPatternInput(const TestPattern &pattern, const std::string &sourceName,
			  InputFormatContextHolder &input, std::string &message);

struct TestInputColour {
	const char *name;
	uint8_t red, green, blue;
	// As the band appears in the capture's NV12 pictures.
	uint8_t y, u, v;
};

// Element K - 1 belongs to test input K.
inline constexpr std::array<TestInputColour, kTestInputCount> kTestInputColours = { {
	{ "red", 0xff, 0x00, 0x00, 82, 90, 240 },
	{ "green", 0x00, 0xff, 0x00, 145, 54, 34 },
	{ "blue", 0x00, 0x00, 0xff, 41, 240, 110 },
	{ "yellow", 0xff, 0xff, 0x00, 210, 16, 146 },
	{ "cyan", 0x00, 0xff, 0xff, 170, 166, 16 },
	{ "magenta", 0xff, 0x00, 0xff, 106, 202, 222 },
	{ "orange", 0xff, 0x80, 0x00, 146, 53, 193 },
	{ "white", 0xff, 0xff, 0xff, 235, 128, 128 },
} };

// Lines of the colour band at the top of a test input's picture.
inline int testInputBandHeight(int pictureHeight)
{
	return pictureHeight / 8 / 4 * 4;
}

// The code strip: a picture's own number, readable after composition and
// H.264 at a low bitrate, for measuring the delay from capture to a
// receiver's screen (tools/glass_reader.py reads it). Two rows of 20 black or
// white cells of 32 x 32 pixels, 640 x 64 in all, at the left edge above the
// bottom of the picture; its top is on a multiple of 16 lines, so the cells
// sit on the encoder's 16 x 16 blocks in the top quadrants (and on 8 x 8 ones
// where the input height is a multiple of 16). Cells are numbered along the
// rows, white is 1:
//
//   cells  0 to 3    start marker 1 1 0 1
//   cells  4 to 27   the picture counter, 24 bits, most significant first:
//                    0 for the input's first picture, up by one per picture
//   cells 28 to 35   check: 255 - ((K + the sum of the counter's three
//                    bytes) mod 256), most significant bit first
//   cells 36 to 39   the input's number K, most significant bit first
//
// Inputs narrower than 640 pixels, or less than 128 lines tall, have no strip.
//
// With the strip comes a flash, for measuring audio against picture: every
// 4 s (every testInputFlashPeriod pictures, from the first) one picture shows
// a white flash cell of 128 x 32 pixels at the left edge just above the strip
// (black otherwise), and the audio of that same picture - the samples of its
// time on the input's media clock, on all 16 channels - carries the tone at
// four times its level (-6 dBFS), a burst as long as the picture. Picture and
// audio count from the same start, so the burst's first sample and the flash
// picture have the same presentation time at the input.
inline constexpr int kCodeCellSize = 32;
inline constexpr int kCodeCellsPerRow = 20;
inline constexpr int kCodeRows = 2;

inline bool testInputHasCodeStrip(int pictureWidth, int pictureHeight)
{
	return pictureWidth >= kCodeCellSize * kCodeCellsPerRow && pictureHeight >= 128;
}

// First line of the code strip.
inline int testInputCodeStripTop(int pictureHeight)
{
	return (pictureHeight - kCodeRows * kCodeCellSize) / 16 * 16;
}

inline constexpr int kFlashCellWidth = 128;
inline constexpr int kFlashCellHeight = 32;
inline constexpr int kFlashPeriodSeconds = 4;

// Pictures from one flash to the next: 4 s at the picture rate, rounded.
inline int64_t testInputFlashPeriod(AVRational frameRate)
{
	return (int64_t(kFlashPeriodSeconds) * frameRate.num + frameRate.den / 2) / frameRate.den;
}

// Frequency in Hz of the tone on pair p (channels 2p - 1 and 2p) of test
// input K.
inline int testInputToneFrequency(int number, int pair = 1)
{
	return number * 250 + (pair - 1) * 1000;
}

} // namespace tiloran
