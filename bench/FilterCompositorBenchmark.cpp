// One output picture's compositor work at 1920x1080 tiles (four pushes and a
// compose into 3840x2160) beside a plain memcpy of the bytes of that picture,
// and beside two chained memcpy calls of them: the compositor copies each
// tile once into its slot (the caller reuses its frames at once) and once
// into the caller's output frame, so the second is the best it can do.

#include "FfmpegSupport.h"
#include "FilterCompositor.h"

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

const char *const composeName = "ComposeOnePicture";
const char *const memcpyName = "MemcpyOnePicture";
const char *const twoCopiesName = "MemcpyOnePictureTwice";

FrameHolder makeTile(uint8_t luma, uint8_t chroma)
{
	FrameHolder frame = allocateFrame();
	frame->format = AV_PIX_FMT_NV12;
	frame->width = tileWidth;
	frame->height = tileHeight;
	if (av_frame_get_buffer(frame.get(), 32) < 0)
		return nullptr;
	std::memset(frame->data[0], luma, size_t(frame->linesize[0]) * tileHeight);
	std::memset(frame->data[1], chroma, size_t(frame->linesize[1]) * tileHeight / 2);
	return frame;
}

void composeOnePicture(benchmark::State &state)
{
	std::array<QuadrantConfig, 4> quadrants;
	for (int slot = 0; slot < slotCount; ++slot) {
		quadrants[slot].id = slot + 1;
		quadrants[slot].empty = false;
	}
	FilterCompositor compositor;
	std::string message;
	if (!compositor.init(tileWidth, tileHeight, quadrants, message)) {
		state.SkipWithError(message.c_str());
		return;
	}
	std::vector<FrameHolder> tiles;
	for (int slot = 0; slot < slotCount; ++slot) {
		tiles.push_back(makeTile(uint8_t(40 * slot + 16), uint8_t(128 + slot)));
		if (!tiles.back()) {
			state.SkipWithError("tile allocation failed");
			return;
		}
	}
	FrameHolder output = allocateFrame();

	for (auto _ : state) {
		for (int slot = 0; slot < slotCount; ++slot) {
			if (!compositor.pushFrame(slot, tiles[slot].get(), message)) {
				state.SkipWithError(message.c_str());
				return;
			}
		}
		if (!compositor.compose(output.get(), message)) {
			state.SkipWithError(message.c_str());
			return;
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

void memcpyOnePictureTwice(benchmark::State &state)
{
	std::vector<uint8_t> source(outputPictureBytes, 0x5a);
	std::vector<uint8_t> slots(outputPictureBytes, 0);
	std::vector<uint8_t> target(outputPictureBytes, 0);
	for (auto _ : state) {
		std::memcpy(slots.data(), source.data(), outputPictureBytes);
		std::memcpy(target.data(), slots.data(), outputPictureBytes);
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

BENCHMARK(composeOnePicture)->Name(composeName)->Unit(benchmark::kMillisecond);
BENCHMARK(memcpyOnePicture)->Name(memcpyName)->Unit(benchmark::kMillisecond);
BENCHMARK(memcpyOnePictureTwice)->Name(twoCopiesName)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	RatioReporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	benchmark::Shutdown();

	const auto &times = reporter.times();
	const auto compose = times.find(composeName);
	const auto copy = times.find(memcpyName);
	const auto twoCopies = times.find(twoCopiesName);
	if (compose != times.end() && copy != times.end() && copy->second > 0) {
		std::cout << "Compositor time per picture: " << compose->second << " ms, memcpy of "
			  << outputPictureBytes << " bytes: " << copy->second
			  << " ms, ratio: " << compose->second / copy->second << "\n";
	}
	if (compose != times.end() && twoCopies != times.end() && twoCopies->second > 0) {
		std::cout << "Two chained memcpy of those bytes: " << twoCopies->second
			  << " ms, ratio: " << compose->second / twoCopies->second << "\n";
	}
	return 0;
}
