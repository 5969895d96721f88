// One output picture's work from capture to composed picture: four 1920x1080
// UYVY sources converted straight into their places in one 3840x2160 NV12
// picture (the capture's converter, libyuv where the build has it, into the
// compositor's slot views), beside a plain memcpy of the bytes of that
// picture. The conversion reads 4:2:2 (a third more bytes than it writes),
// so the memcpy is the floor it is measured against. Where the build has
// libyuv, its conversion alone into the same places (no compositor, no
// checks) shows what the compositor adds to it.

#include "capture/Libyuv.h"
#include "capture/PictureConverter.h"
#include "compose/QuadCompositor.h"
#include "media/FfmpegSupport.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace tiloran;

constexpr int tileWidth = 1920;
constexpr int tileHeight = 1080;
constexpr int slotCount = 4;
// NV12: a full luma plane and a half-height interleaved chroma plane.
constexpr size_t outputPictureBytes = size_t(tileWidth) * 2 * tileHeight * 2 * 3 / 2;

const char *const composeName = "ConvertFourSourcesIntoOnePicture";
const char *const libyuvName = "LibyuvAloneFourSources";
const char *const memcpyName = "MemcpyOnePicture";

// A captured picture: UYVY with some variation, as a card delivers it.
FrameHolder makeSource(int slot)
{
	FrameHolder frame = allocateFrame();
	frame->format = AV_PIX_FMT_UYVY422;
	frame->width = tileWidth;
	frame->height = tileHeight;
	if (av_frame_get_buffer(frame.get(), 32) < 0)
		return nullptr;
	for (int y = 0; y < tileHeight; ++y) {
		uint8_t *row = frame->data[0] + size_t(frame->linesize[0]) * y;
		for (int x = 0; x < 2 * tileWidth; ++x)
			row[x] = uint8_t(x % 4 == 1 || x % 4 == 3 ? 16 + (x + y + 40 * slot) % 220 : 128 + slot + y % 7);
	}
	return frame;
}

// The composed picture: NV12 of twice the tile size each way.
FrameHolder makeOutput()
{
	FrameHolder frame = allocateFrame();
	frame->format = AV_PIX_FMT_NV12;
	frame->width = 2 * tileWidth;
	frame->height = 2 * tileHeight;
	if (av_frame_get_buffer(frame.get(), 32) < 0)
		return nullptr;
	return frame;
}

void convertFourSources(benchmark::State &state)
{
	std::array<QuadrantConfig, 4> quadrants;
	for (int slot = 0; slot < slotCount; ++slot) {
		quadrants[slot].id = slot + 1;
		quadrants[slot].empty = false;
	}
	QuadCompositor compositor;
	std::string message;
	if (!compositor.init(tileWidth, tileHeight, quadrants, message)) {
		state.SkipWithError(message.c_str());
		return;
	}
	std::vector<FrameHolder> sources;
	std::vector<PictureConverter> converters(slotCount);
	for (int slot = 0; slot < slotCount; ++slot) {
		sources.push_back(makeSource(slot));
		if (!sources.back() ||
		    !converters[slot].open(tileWidth, tileHeight, AV_PIX_FMT_UYVY422, message)) {
			state.SkipWithError(sources.back() ? message.c_str() : "source allocation failed");
			return;
		}
	}
	FrameHolder output = makeOutput();
	if (!output) {
		state.SkipWithError("output allocation failed");
		return;
	}
	state.SetLabel(converters.front().path());

	for (auto _ : state) {
		if (!compositor.begin(output.get(), message)) {
			state.SkipWithError(message.c_str());
			return;
		}
		for (int slot = 0; slot < slotCount; ++slot) {
			Nv12View view;
			if (!compositor.slotView(slot, view, message) ||
			    !converters[slot].convert(sources[slot].get(), view, message)) {
				state.SkipWithError(message.c_str());
				return;
			}
		}
		if (!compositor.compose(0, sources.front().get(), message)) {
			state.SkipWithError(message.c_str());
			return;
		}
		benchmark::DoNotOptimize(output->data[0]);
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(outputPictureBytes));
}

void libyuvAlone(benchmark::State &state)
{
	std::vector<FrameHolder> sources;
	for (int slot = 0; slot < slotCount; ++slot) {
		sources.push_back(makeSource(slot));
		if (!sources.back()) {
			state.SkipWithError("source allocation failed");
			return;
		}
	}
	FrameHolder output = makeOutput();
	if (!output) {
		state.SkipWithError("output allocation failed");
		return;
	}
	for (auto _ : state) {
		for (int slot = 0; slot < slotCount; ++slot) {
			const size_t column = size_t(slot % 2) * tileWidth;
			const size_t row = size_t(slot / 2) * tileHeight;
			uint8_t *luma = output->data[0] + row * output->linesize[0] + column;
			uint8_t *chroma = output->data[1] + row / 2 * output->linesize[1] + column;
			if (!libyuvUyvyToNv12(sources[slot]->data[0], sources[slot]->linesize[0], luma,
					      output->linesize[0], chroma, output->linesize[1], tileWidth, tileHeight)) {
				state.SkipWithError("libyuv refused the conversion");
				return;
			}
		}
		benchmark::DoNotOptimize(output->data[0]);
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(outputPictureBytes));
}

void memcpyOnePicture(benchmark::State &state)
{
	std::vector<uint8_t> source(outputPictureBytes, 0x5a);
	std::vector<uint8_t> target(outputPictureBytes, 0);
	for (auto _ : state) {
		std::memcpy(target.data(), source.data(), outputPictureBytes);
		benchmark::DoNotOptimize(target.data());
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(outputPictureBytes));
}

// Prints the usual table and remembers each benchmark's time per picture (ms):
// CPU time, and the median when the runs are repeated, as the machine may be
// shared with other work.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
	RatioReporter()
		: ConsoleReporter(OO_None)
	{
	}

	void ReportRuns(const std::vector<Run> &runs) override
	{
		ConsoleReporter::ReportRuns(runs);
		for (const Run &run : runs) {
			if (run.error_occurred)
				continue;
			const std::string &name = run.run_name.function_name;
			if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
				timesInMilliseconds_[name] = run.GetAdjustedCPUTime();
			else if (run.run_type == Run::RT_Iteration && run.repetitions <= 1)
				timesInMilliseconds_[name] = run.GetAdjustedCPUTime();
		}
	}

	const std::map<std::string, double> &times() const { return timesInMilliseconds_; }

private:
	std::map<std::string, double> timesInMilliseconds_;
};

} // namespace

BENCHMARK(convertFourSources)->Name(composeName)->Unit(benchmark::kMillisecond);
BENCHMARK(memcpyOnePicture)->Name(memcpyName)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
	benchmark::Initialize(&argc, argv);
	if (libyuvAvailable())
		benchmark::RegisterBenchmark(libyuvName, libyuvAlone)->Unit(benchmark::kMillisecond);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	RatioReporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	benchmark::Shutdown();

	const auto &times = reporter.times();
	const auto compose = times.find(composeName);
	const auto copy = times.find(memcpyName);
	if (compose != times.end() && copy != times.end() && copy->second > 0) {
		std::cout << "Conversion of four sources into one picture: " << compose->second << " ms, memcpy of "
			  << outputPictureBytes << " bytes: " << copy->second
			  << " ms, ratio: " << compose->second / copy->second << "\n";
		const auto alone = times.find(libyuvName);
		if (alone != times.end())
			std::cout << "libyuv's conversion alone: " << alone->second
				  << " ms, ratio: " << alone->second / copy->second << "\n";
	}
	return 0;
}
