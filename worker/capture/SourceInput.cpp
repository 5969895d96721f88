#include "capture/SourceInput.h"

extern "C" {
#include <libavdevice/avdevice.h>
}

#include <charconv>
#include <cstdio>
#include <iterator>

#include "capture/CaptureTimes.h"

namespace tiloran {

namespace {

constexpr std::string_view kTestSourcePrefix = "test-";
constexpr std::string_view kTestNamePrefix = "Test Input ";
constexpr int kTestAudioSampleRate = 48000;
// The channels of FFmpeg's 16-channel layout, in order.
constexpr const char *kSixteenChannelNames[] = { "FL",	"FR",  "FC",  "BL",  "BR",  "BC",  "SL", "SR",
						 "TFL", "TFC", "TFR", "TBL", "TBC", "TBR", "WL", "WR" };
static_assert(std::size(kSixteenChannelNames) == kTestInputAudioChannels);

// A decimal number without sign; leading zeros allowed unless noted.
bool parseDecimal(std::string_view text, int &value, bool leadingZeros = true)
{
	if (text.empty() || text.front() < '0' || text.front() > '9' ||
	    (!leadingZeros && text.front() == '0'))
		return false;
	const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
	return error == std::errc() && end == text.data() + text.size();
}

// drawbox filters that paint the code strip: a black ground, then a white box
// for each cell whose bit is 1 in the picture numbered n (the filter's own
// count of pictures, from 0).
std::string codeStripFilters(int number, int height, int64_t flashPeriod)
{
	const int top = testInputCodeStripTop(height);
	auto cell = [top](int index) {
		return "drawbox=x=" + std::to_string(index % kCodeCellsPerRow * kCodeCellSize) +
		       ":y=" + std::to_string(top + index / kCodeCellsPerRow * kCodeCellSize) +
		       ":w=" + std::to_string(kCodeCellSize) + ":h=" + std::to_string(kCodeCellSize) +
		       ":color=white:t=fill";
	};
	auto bit = [](const std::string &value, int shift) {
		return "'mod(floor((" + value + ")/" + std::to_string(1 << shift) + "),2)'";
	};
	std::string filters = ",drawbox=x=0:y=" + std::to_string(top) +
			      ":w=" + std::to_string(kCodeCellSize * kCodeCellsPerRow) +
			      ":h=" + std::to_string(kCodeCellSize * kCodeRows) + ":color=black:t=fill";
	// Appended piece by piece: GCC 12 warns about the temporaries of a chain of +.
	auto add = [&filters, &cell](int index, const std::string &enable) {
		filters += ',';
		filters += cell(index);
		if (!enable.empty()) {
			filters += ":enable=";
			filters += enable;
		}
	};
	constexpr int marker[] = { 1, 1, 0, 1 };
	for (int index = 0; index < 4; ++index)
		if (marker[index])
			add(index, {});
	const std::string counter = "mod(n,16777216)";
	for (int shift = 23; shift >= 0; --shift)
		add(4 + 23 - shift, bit(counter, shift));
	const std::string check = "255-mod(" + std::to_string(number) +
				  "+mod(n,256)+mod(floor(n/256),256)+mod(floor(n/65536),256),256)";
	for (int shift = 7; shift >= 0; --shift)
		add(28 + 7 - shift, bit(check, shift));
	for (int shift = 3; shift >= 0; --shift)
		if ((number >> shift) & 1)
			add(36 + 3 - shift, {});
	const std::string flashTop = std::to_string(top - kFlashCellHeight);
	const std::string flashSize = ":w=" + std::to_string(kFlashCellWidth) + ":h=" + std::to_string(kFlashCellHeight);
	filters += ",drawbox=x=0:y=" + flashTop + flashSize + ":color=black:t=fill";
	filters += ",drawbox=x=0:y=" + flashTop + flashSize + ":color=white:t=fill:enable='eq(mod(n," +
		   std::to_string(flashPeriod) + "),0)'";
	return filters;
}

// The lavfi graph of a test pattern: out0 is the video, out1 the audio.
std::string testPatternGraph(const TestPattern &pattern)
{
	const TestInputMode &mode = pattern.mode;
	const TestInputColour &colour = kTestInputColours[pattern.number - 1];
	char colourText[16];
	std::snprintf(colourText, sizeof(colourText), "0x%02X%02X%02X", colour.red, colour.green,
		      colour.blue);

	// Interlaced pictures are woven from two fields taken at field rate, so
	// that motion differs between the fields as it does on a camera.
	const AVRational pictureRate = mode.interlaced
					       ? av_mul_q(mode.frameRate, AVRational{ 2, 1 })
					       : mode.frameRate;
	std::string graph = "testsrc2=size=" + std::to_string(mode.width) + "x" +
			    std::to_string(mode.height) + ":rate=" + rationalText(pictureRate) +
			    ",format=yuv422p";
	if (mode.interlaced)
		graph += ",interlace=scan=tff:lowpass=off";
	graph += ",drawbox=x=0:y=0:w=iw:h=" + std::to_string(testInputBandHeight(mode.height)) +
		 ":color=" + colourText + ":t=fill";
	const bool codeStrip = pattern.codeStrip && testInputHasCodeStrip(mode.width, mode.height);
	const int64_t flashPeriod = testInputFlashPeriod(mode.frameRate);
	if (codeStrip)
		graph += codeStripFilters(pattern.number, mode.height, flashPeriod);
	graph += ",format=uyvy422";
	if (pattern.frameLimit >= 0)
		graph += ",trim=end_frame=" + std::to_string(pattern.frameLimit);
	graph += ",realtime[out0];";

	// A card delivers the audio of each picture with it: 1920 samples per
	// picture at 25 pictures per second, 1601 or 1602 at 29.97. One tone per
	// pair, joined into both channels of its pair: a join costs a quarter
	// less than merging the tones and then mapping them onto 16 channels.
	const std::string samplesPerSecond = std::to_string(int64_t(kTestAudioSampleRate) *
							    mode.frameRate.den);
	const std::string frames = std::to_string(mode.frameRate.num);
	constexpr int pairs = kTestInputAudioChannels / 2;
	std::string tones;
	std::string channelMap;
	for (int pair = 1; pair <= pairs; ++pair) {
		const std::string tone = "[tone" + std::to_string(pair) + "]";
		graph += "sine=frequency=" + std::to_string(testInputToneFrequency(pattern.number, pair)) +
			 ":sample_rate=" + std::to_string(kTestAudioSampleRate) +
			 ":samples_per_frame=floor((n+1)*" + samplesPerSecond + "/" + frames +
			 ")-floor(n*" + samplesPerSecond + "/" + frames + ")" + tone + ";";
		tones += tone;
		for (int side = 0; side < 2; ++side)
			channelMap += std::string(channelMap.empty() ? "" : "|") + std::to_string(pair - 1) + ".0-" +
				      kSixteenChannelNames[2 * (pair - 1) + side];
	}
	graph += tones + "join=inputs=" + std::to_string(pairs) +
		 ":channel_layout=hexadecagonal:map=" + channelMap + ",aformat=sample_fmts=s16";
	// The burst of the flash picture: the picture whose time the audio frame
	// starts at (each frame is one picture's samples), by the same count.
	if (codeStrip)
		graph += ",volume=precision=fixed:eval=frame:volume='if(eq(mod(floor(t*" +
			 std::to_string(mode.frameRate.num) + "/" + std::to_string(mode.frameRate.den) +
			 "+0.5)," + std::to_string(flashPeriod) + "),0),4,1)'";
	if (pattern.frameLimit >= 0)
		graph += ",atrim=end_sample=" +
			 std::to_string(av_rescale(pattern.frameLimit,
						   int64_t(kTestAudioSampleRate) * mode.frameRate.den,
						   mode.frameRate.num));
	graph += "[out1]";
	return graph;
}

bool openCardInput(const QuadrantConfig &quadrant, int32_t audioChannels, InputFormatContextHolder &input,
		   std::string &message)
{
	const AVInputFormat *format = av_find_input_format("decklink");
	if (!format) {
		message = "FFmpeg DeckLink input format is not available";
		return false;
	}

	AVDictionary *options = nullptr;
	int result = av_dict_set(&options, "raw_format", "2", 0);
	if (result >= 0)
		result = av_dict_set_int(&options, "channels", audioChannels, 0);
	AVFormatContext *context = nullptr;
	if (result >= 0)
		result = avformat_open_input(&context, quadrant.source_name.c_str(), format, &options);
	// What the device did not take stays in the dictionary; it is not needed.
	DictionaryHolder leftOptions(options);
	leftOptions.reset();
	if (result < 0) {
		message = "Failed to open DeckLink source '" + quadrant.source_name +
			  "': " + ffmpegErrorText(result);
		return false;
	}
	input.reset(context);
	return true;
}

bool readStreamInfo(InputFormatContextHolder &input, std::string &message)
{
	const int result = avformat_find_stream_info(input.get(), nullptr);
	if (result < 0) {
		message = "Failed to read DeckLink stream info: " + ffmpegErrorText(result);
		input.reset();
		return false;
	}
	return true;
}

} // namespace

bool parseTestInputMode(std::string_view text, TestInputMode &mode)
{
	const size_t times = text.find('x');
	const size_t scan = text.find_first_of("pi", times == std::string_view::npos ? 0 : times);
	if (times == std::string_view::npos || scan == std::string_view::npos)
		return false;

	TestInputMode parsed;
	if (!parseDecimal(text.substr(0, times), parsed.width) ||
	    !parseDecimal(text.substr(times + 1, scan - times - 1), parsed.height))
		return false;
	if (parsed.width < 16 || parsed.width > 8192 || parsed.width % 2 ||
	    parsed.height < 16 || parsed.height > 8192 || parsed.height % 2)
		return false;

	parsed.interlaced = text[scan] == 'i';
	const std::string_view rate = text.substr(scan + 1);
	AVRational perSecond = { 0, 1 };
	int wholeRate = 0;
	if (rate == "23.98")
		perSecond = { 24000, 1001 };
	else if (rate == "29.97")
		perSecond = { 30000, 1001 };
	else if (rate == "59.94")
		perSecond = { 60000, 1001 };
	else if (parseDecimal(rate, wholeRate) && wholeRate >= 1 && wholeRate <= 120)
		perSecond = { wholeRate, 1 };
	else
		return false;
	parsed.frameRate = parsed.interlaced ? av_mul_q(perSecond, AVRational{ 1, 2 }) : perSecond;
	mode = parsed;
	return true;
}

bool parseTestInputName(const std::string &sourceName, TestPattern &pattern, std::string &message)
{
	const std::string expected = "expected \"Test Input K (MODE)\" with K from 1 to " +
				     std::to_string(kTestInputCount) +
				     " and MODE such as 1920x1080i50 or 640x360p25";
	const std::string_view name = sourceName;
	const size_t open = name.find(" (");
	if (!name.starts_with(kTestNamePrefix) || !name.ends_with(")") ||
	    open == std::string_view::npos || open < kTestNamePrefix.size()) {
		message = "Malformed test input name '" + sourceName + "': " + expected;
		return false;
	}

	TestPattern parsed;
	const std::string_view number =
		name.substr(kTestNamePrefix.size(), open - kTestNamePrefix.size());
	if (!parseDecimal(number, parsed.number, false) || parsed.number > kTestInputCount) {
		message = "Malformed test input name '" + sourceName + "': " + expected;
		return false;
	}

	const std::string_view modeText = name.substr(open + 2, name.size() - open - 3);
	if (!parseTestInputMode(modeText, parsed.mode)) {
		message = "Unknown test input mode '" + std::string(modeText) + "' of source '" +
			  sourceName +
			  "': expected WIDTHxHEIGHT (even numbers from 16 to 8192) followed by p "
			  "(frames per second) or i (fields per second) and a whole rate from 1 to "
			  "120, 23.98, 29.97 or 59.94";
		return false;
	}
	pattern = parsed;
	return true;
}

bool openTestPatternInput(const TestPattern &pattern, const std::string &sourceName,
			  InputFormatContextHolder &input, std::string &message)
{
	avdevice_register_all();
	const AVInputFormat *format = av_find_input_format("lavfi");
	if (!format) {
		message = "FFmpeg lavfi input format is not available";
		return false;
	}

	const std::string graph = testPatternGraph(pattern);
	AVFormatContext *context = nullptr;
	const int result = avformat_open_input(&context, graph.c_str(), format, nullptr);
	if (result < 0) {
		message = "Failed to open test input '" + sourceName + "': " + ffmpegErrorText(result);
		return false;
	}
	input.reset(context);
	if (!readStreamInfo(input, message))
		return false;

	// Make the video stream look as a card's does. The lavfi device reports
	// neither field order nor a rate beyond the time base, and leaves the
	// average rate for the stream analysis to guess.
	for (unsigned int index = 0; index < input->nb_streams; ++index) {
		AVStream *stream = input->streams[index];
		if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
			continue;
		stream->codecpar->codec_tag = MKTAG('U', 'Y', 'V', 'Y');
		stream->codecpar->field_order =
			pattern.mode.interlaced ? AV_FIELD_TT : AV_FIELD_PROGRESSIVE;
		stream->avg_frame_rate = AVRational{ 0, 0 };
		stream->r_frame_rate = pattern.mode.frameRate;
	}
	return true;
}

bool openSourceInput(const QuadrantConfig &quadrant, int32_t audioChannels, InputFormatContextHolder &input,
		     std::string &message)
{
	input.reset();
	avdevice_register_all();

	if (std::string_view(quadrant.source_id).starts_with(kTestSourcePrefix)) {
		TestPattern pattern;
		if (!parseTestInputName(quadrant.source_name, pattern, message))
			return false;
		pattern.codeStrip = CaptureTimes::instance().enabled();
		return openTestPatternInput(pattern, quadrant.source_name, input, message);
	}

	if (!openCardInput(quadrant, audioChannels, input, message))
		return false;
	return readStreamInfo(input, message);
}

} // namespace tiloran

// FFmpeg 5.1's buffersink does not free the frame it holds back for peeking
// when its graph is freed. The lavfi device peeks at every sink, so closing a
// test-pattern input (two sinks) loses one frame: once per source and run,
// inside FFmpeg. The leak check of sanitizer builds leaves it out; it needs
// full stacks to see that the allocation came from the lavfi device.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char *__asan_default_options()
{
	return "fast_unwind_on_malloc=0";
}

extern "C" const char *__lsan_default_suppressions()
{
	return "leak:libavdevice.so\n";
}

// The tally of that suppression would end every run with lines of no
// component's on the worker's console.
extern "C" const char *__lsan_default_options()
{
	return "print_suppressions=0";
}
#endif
