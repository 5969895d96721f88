#include "compose/QuadCompositor.h"
#include "media/FfmpegSupport.h"
#include "preview/PreviewWriter.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tiloran {
namespace {

namespace fs = std::filesystem;
using test::TemporaryDirectory;
using test::readFile;
using test::kGenerousTimeout;
using test::waitUntil;

// Sends standard output or error (by descriptor) into a file while it lives;
// the lines so far can be read at any time.
class CapturedStream
{
public:
	explicit CapturedStream(int descriptor)
		: descriptor_(descriptor), path_(directory_.path() / "captured")
	{
		std::cout.flush();
		std::cerr.flush();
		saved_ = dup(descriptor_);
		const int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
		dup2(file, descriptor_);
		close(file);
	}
	~CapturedStream()
	{
		std::cout.flush();
		std::cerr.flush();
		dup2(saved_, descriptor_);
		close(saved_);
	}
	std::string text() const { return readFile(path_); }

private:
	int descriptor_;
	TemporaryDirectory directory_;
	fs::path path_;
	int saved_ = -1;
};

// The writer's own lines: FFmpeg logs its complaints to the same stream.
std::vector<std::string> writerLines(const std::string &text)
{
	std::vector<std::string> lines;
	for (size_t start = 0; start < text.size();) {
		size_t end = text.find('\n', start);
		if (end == std::string::npos)
			end = text.size() - 1;
		const std::string line = text.substr(start, end - start + 1);
		if (line.rfind("[PreviewWriter]", 0) == 0)
			lines.push_back(line);
		start = end + 1;
	}
	return lines;
}

struct Colour {
	uint8_t y, u, v;
};

FrameHolder makePicture(int width, int height, const std::array<Colour, 4> &quadrants)
{
	FrameHolder frame = allocateFrame();
	frame->format = AV_PIX_FMT_NV12;
	frame->width = width;
	frame->height = height;
	EXPECT_GE(av_frame_get_buffer(frame.get(), 32), 0);
	for (int y = 0; y < height; ++y)
		for (int x = 0; x < width; ++x)
			frame->data[0][y * frame->linesize[0] + x] = quadrants[(y * 2 / height) * 2 + x * 2 / width].y;
	for (int row = 0; row < height / 2; ++row)
		for (int x = 0; x < width; x += 2) {
			const Colour &colour = quadrants[(row * 4 / height) * 2 + x * 2 / width];
			frame->data[1][row * frame->linesize[1] + x] = colour.u;
			frame->data[1][row * frame->linesize[1] + x + 1] = colour.v;
		}
	return frame;
}

FrameHolder makeFlatPicture(int width, int height, Colour colour)
{
	return makePicture(width, height, {colour, colour, colour, colour});
}

// Decodes a JPEG file with FFmpeg's own decoder.
FrameHolder decodeJpeg(const fs::path &path)
{
	const std::string bytes = readFile(path);
	const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
	CodecContextHolder decoder(avcodec_alloc_context3(codec));
	if (!decoder || avcodec_open2(decoder.get(), codec, nullptr) < 0)
		return nullptr;
	PacketHolder packet = allocatePacket();
	if (bytes.empty() || av_new_packet(packet.get(), int(bytes.size())) < 0)
		return nullptr;
	std::memcpy(packet->data, bytes.data(), bytes.size());
	FrameHolder frame = allocateFrame();
	if (avcodec_send_packet(decoder.get(), packet.get()) < 0 || avcodec_receive_frame(decoder.get(), frame.get()) < 0)
		return nullptr;
	return frame;
}

bool isWholeJpeg(const std::string &bytes)
{
	return bytes.size() > 4 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xD8 &&
	       uint8_t(bytes[bytes.size() - 2]) == 0xFF && uint8_t(bytes[bytes.size() - 1]) == 0xD9;
}

int decodedWidth(const fs::path &path)
{
	std::error_code error;
	if (!fs::is_regular_file(path, error) || fs::file_size(path, error) == 0)
		return 0;
	FrameHolder frame = decodeJpeg(path);
	return frame ? frame->width : 0;
}

constexpr Colour black{16, 128, 128};
constexpr Colour white{235, 128, 128};
constexpr Colour red{81, 90, 240};
constexpr Colour blue{41, 240, 110};

TEST(PreviewWriterTest, ComposedPictureBecomesAFullRangeJpegOfTheSameColours)
{
	const int tileWidth = 64;
	const int tileHeight = 48;
	const std::array<Colour, 4> colours = {black, white, red, blue};
	std::array<QuadrantConfig, 4> quadrants;
	for (QuadrantConfig &quadrant : quadrants)
		quadrant.empty = false;
	QuadCompositor compositor;
	std::string message;
	ASSERT_TRUE(compositor.init(tileWidth, tileHeight, quadrants, message)) << message;
	FrameHolder picture = makeFlatPicture(2 * tileWidth, 2 * tileHeight, black);
	ASSERT_TRUE(compositor.begin(picture.get(), message)) << message;
	for (int slot = 0; slot < 4; ++slot) {
		FrameHolder tile = makeFlatPicture(tileWidth, tileHeight, colours[slot]);
		ASSERT_TRUE(compositor.pushFrame(slot, tile.get(), message)) << message;
	}
	FrameHolder master = makeFlatPicture(tileWidth, tileHeight, black);
	ASSERT_TRUE(compositor.compose(0, master.get(), message)) << message;

	TemporaryDirectory directory;
	const fs::path target = directory.path() / "preview.jpg";
	{
		PreviewWriter writer;
		ASSERT_TRUE(writer.init(directory.path().string(), AV_PIX_FMT_NV12, message)) << message;
		ASSERT_TRUE(writer.start());
		writer.submitFrame(picture.get());
		ASSERT_TRUE(waitUntil([&] { return fs::exists(target); }, kGenerousTimeout));
	}
	EXPECT_TRUE(isWholeJpeg(readFile(target)));
	FrameHolder decoded = decodeJpeg(target);
	ASSERT_TRUE(decoded);
	EXPECT_EQ(decoded->width, 2 * tileWidth);
	EXPECT_EQ(decoded->height, 2 * tileHeight);
	EXPECT_TRUE(decoded->format == AV_PIX_FMT_YUVJ420P || decoded->color_range == AVCOL_RANGE_JPEG);
	const auto fullRangeLuma = [](int value) { return (value - 16) * 255 / 219; };
	const auto fullRangeChroma = [](int value) { return 128 + (value - 128) * 255 / 224; };
	for (int slot = 0; slot < 4; ++slot) {
		// The middle of each quadrant, away from the JPEG blocks at its edges.
		const int x = (slot % 2) * tileWidth + tileWidth / 2;
		const int y = (slot / 2) * tileHeight + tileHeight / 2;
		const int luma = decoded->data[0][y * decoded->linesize[0] + x];
		const int u = decoded->data[1][y / 2 * decoded->linesize[1] + x / 2];
		const int v = decoded->data[2][y / 2 * decoded->linesize[2] + x / 2];
		EXPECT_NEAR(luma, fullRangeLuma(colours[slot].y), 4) << "slot " << slot;
		EXPECT_NEAR(u, fullRangeChroma(colours[slot].u), 4) << "slot " << slot;
		EXPECT_NEAR(v, fullRangeChroma(colours[slot].v), 4) << "slot " << slot;
	}
}

// The writer keeps its converted picture and converter from one picture to
// the next; a picture of another size or content must not show the last one.
TEST(PreviewWriterTest, EachPictureShowsItselfWhateverCameBefore)
{
	TemporaryDirectory directory;
	const fs::path target = directory.path() / "preview.jpg";
	PreviewWriter writer;
	std::string message;
	ASSERT_TRUE(writer.init(directory.path().string(), AV_PIX_FMT_NV12, message)) << message;
	ASSERT_TRUE(writer.start());

	struct Step {
		int width;
		int height;
		Colour colour;
	};
	const Step steps[] = { { 64, 48, red }, { 64, 48, blue }, { 32, 16, white }, { 64, 48, red } };
	std::string previous;
	for (const Step &step : steps) {
		FrameHolder picture = makeFlatPicture(step.width, step.height, step.colour);
		writer.submitFrame(picture.get());
		ASSERT_TRUE(
			waitUntil([&] { return fs::exists(target) && readFile(target) != previous; }, kGenerousTimeout));
		previous = readFile(target);
		FrameHolder decoded = decodeJpeg(target);
		ASSERT_TRUE(decoded);
		EXPECT_EQ(decoded->width, step.width);
		EXPECT_EQ(decoded->height, step.height);
		const int x = step.width / 2;
		const int y = step.height / 2;
		EXPECT_NEAR(decoded->data[0][y * decoded->linesize[0] + x], (step.colour.y - 16) * 255 / 219, 4);
		EXPECT_NEAR(decoded->data[1][y / 2 * decoded->linesize[1] + x / 2],
			    128 + (step.colour.u - 128) * 255 / 224, 4);
	}
}

TEST(PreviewWriterTest, InitCreatesTheDirectoryAndTheFileLandsInIt)
{
	TemporaryDirectory directory;
	FrameHolder picture = makeFlatPicture(32, 16, red);
	std::string message;

	const fs::path nested = directory.path() / "a" / "b" / "c";
	{
		PreviewWriter writer;
		ASSERT_TRUE(writer.init(nested.string(), AV_PIX_FMT_NV12, message)) << message;
		EXPECT_TRUE(fs::is_directory(nested));
	}
	{
		PreviewWriter writer;
		EXPECT_TRUE(writer.init(nested.string(), AV_PIX_FMT_NV12, message)) << message;
	}
	// A directory given with a trailing separator.
	const fs::path trailing = directory.path() / "trailing";
	{
		PreviewWriter writer;
		ASSERT_TRUE(writer.init(trailing.string() + "/", AV_PIX_FMT_NV12, message)) << message;
		ASSERT_TRUE(writer.start());
		writer.submitFrame(picture.get());
		EXPECT_TRUE(waitUntil([&] { return decodedWidth(trailing / "preview.jpg") == 32; }, kGenerousTimeout));
	}
	std::set<std::string> names;
	for (const auto &entry : fs::directory_iterator(trailing))
		names.insert(entry.path().filename().string());
	EXPECT_EQ(names, std::set<std::string>{"preview.jpg"});

	const fs::path file = directory.path() / "plain-file";
	test::writeFile(file, "x");
	PreviewWriter writer;
	EXPECT_FALSE(writer.init((file / "sub").string(), AV_PIX_FMT_NV12, message));
	EXPECT_EQ(message.rfind("Failed to create preview directory: ", 0), 0u) << message;
}

TEST(PreviewWriterTest, StartAndStopMessages)
{
	TemporaryDirectory directory;
	const fs::path never = directory.path() / "never";
	std::string message;
	{
		CapturedStream errors(STDERR_FILENO);
		PreviewWriter writer;
		EXPECT_FALSE(writer.init(never.string(), AV_PIX_FMT_NONE, message));
		EXPECT_EQ(message, "Invalid pixel format: AV_PIX_FMT_NONE");
		EXPECT_FALSE(fs::exists(never));
		EXPECT_FALSE(writer.start());
		EXPECT_EQ(errors.text(), "[PreviewWriter] Cannot start: pixel format not set\n");
	}
	{
		CapturedStream output(STDOUT_FILENO);
		{
			PreviewWriter writer;
			ASSERT_TRUE(writer.init(directory.path().string(), AV_PIX_FMT_NV12, message));
		}
		EXPECT_EQ(output.text(), "");
		{
			PreviewWriter writer;
			ASSERT_TRUE(writer.init(directory.path().string(), AV_PIX_FMT_NV12, message));
			EXPECT_TRUE(writer.start());
			EXPECT_TRUE(writer.start());
		}
		EXPECT_EQ(output.text(), "[PreviewWriter] Started, output path: " + directory.path().string() +
						 ", pixel format: 23\n[PreviewWriter] Stopped\n");
	}
}

TEST(PreviewWriterTest, PicturesItCannotTakeAreDroppedWithAReason)
{
	TemporaryDirectory directory;
	CapturedStream errors(STDERR_FILENO);
	{
		PreviewWriter writer;
		std::string message;
		ASSERT_TRUE(writer.init(directory.path().string(), AV_PIX_FMT_NV12, message));
		ASSERT_TRUE(writer.start());
		EXPECT_FALSE(writer.init(directory.path().string(), AV_PIX_FMT_YUV420P, message));
		EXPECT_EQ(message, "PreviewWriter is already running");

		FrameHolder planar = allocateFrame();
		planar->format = AV_PIX_FMT_YUV420P;
		planar->width = 32;
		planar->height = 16;
		ASSERT_GE(av_frame_get_buffer(planar.get(), 32), 0);
		writer.submitFrame(planar.get());
		FrameHolder empty = allocateFrame();
		empty->format = AV_PIX_FMT_NV12;
		writer.submitFrame(empty.get());
		writer.submitFrame(nullptr);
	}
	EXPECT_EQ(writerLines(errors.text()),
		  (std::vector<std::string>{
			  "[PreviewWriter] Frame pixel format 0 does not match writer pixel format 23\n",
			  "[PreviewWriter] Failed to calculate buffer size for pixel format 23\n",
			  "[PreviewWriter] Failed to copy frame data: Invalid source frame or destination buffer\n"}));
	EXPECT_TRUE(fs::is_empty(directory.path()));
}

TEST(PreviewWriterTest, FailedRenameRemovesTheTemporaryFile)
{
	TemporaryDirectory directory;
	const fs::path target = directory.path() / "preview.jpg";
	fs::create_directory(target);
	FrameHolder picture = makeFlatPicture(32, 16, blue);
	CapturedStream errors(STDERR_FILENO);
	{
		PreviewWriter writer;
		std::string message;
		ASSERT_TRUE(writer.init(directory.path().string(), AV_PIX_FMT_NV12, message));
		ASSERT_TRUE(writer.start());
		writer.submitFrame(picture.get());
		EXPECT_TRUE(waitUntil([&] { return !errors.text().empty(); }, kGenerousTimeout));
	}
	EXPECT_EQ(errors.text(), "[PreviewWriter] Failed to save preview: Failed to replace preview file atomically\n");
	EXPECT_TRUE(fs::is_directory(target));
	EXPECT_FALSE(fs::exists(directory.path() / "preview.jpg.tmp"));
}

TEST(PreviewWriterTest, UnwritableTemporaryFileKeepsThePreviousPicture)
{
	TemporaryDirectory directory;
	const fs::path target = directory.path() / "preview.jpg";
	const fs::path temporary = directory.path() / "preview.jpg.tmp";
	FrameHolder first = makeFlatPicture(32, 16, white);
	FrameHolder second = makeFlatPicture(48, 16, black);
	CapturedStream errors(STDERR_FILENO);
	PreviewWriter writer;
	std::string message;
	ASSERT_TRUE(writer.init(directory.path().string(), AV_PIX_FMT_NV12, message));
	ASSERT_TRUE(writer.start());
	writer.submitFrame(first.get());
	ASSERT_TRUE(waitUntil([&] { return decodedWidth(target) == 32; }, kGenerousTimeout));
	const std::string previous = readFile(target);

	fs::create_directory(temporary);
	writer.submitFrame(second.get());
	ASSERT_TRUE(waitUntil([&] { return !errors.text().empty(); }, kGenerousTimeout));
	EXPECT_EQ(errors.text(), "[PreviewWriter] Failed to save preview: Failed to open output file: " +
					 temporary.string() + "\n");
	EXPECT_EQ(readFile(target), previous);
}

// A failure that comes back with every picture is printed once; the first
// picture saved afterwards says how many failed.
TEST(PreviewWriterTest, ARepeatedFailureIsPrintedOnceAndTheRecoveryWithTheCount)
{
	TemporaryDirectory directory;
	const fs::path target = directory.path() / "preview.jpg";
	const fs::path temporary = directory.path() / "preview.jpg.tmp";
	// Every save fails at the rename and then removes the temporary file,
	// which tells the test that the picture has been handled.
	fs::create_directory(target);
	CapturedStream errors(STDERR_FILENO);
	CapturedStream output(STDOUT_FILENO);
	PreviewWriter writer;
	std::string message;
	ASSERT_TRUE(writer.init(directory.path().string(), AV_PIX_FMT_NV12, message));
	ASSERT_TRUE(writer.start());
	const std::string failure =
		"[PreviewWriter] Failed to save preview: Failed to replace preview file atomically\n";
	constexpr int failedPictures = 5;
	for (int index = 0; index < failedPictures; ++index) {
		test::writeFile(temporary, "not yet handled");
		FrameHolder picture = makeFlatPicture(32, 16, Colour{uint8_t(16 + index * 20), 128, 128});
		writer.submitFrame(picture.get());
		ASSERT_TRUE(waitUntil([&] { return !fs::exists(temporary); }, kGenerousTimeout)) << "picture " << index;
	}
	EXPECT_EQ(writerLines(errors.text()), std::vector<std::string>{failure});

	fs::remove(target);
	FrameHolder picture = makeFlatPicture(48, 16, white);
	writer.submitFrame(picture.get());
	ASSERT_TRUE(waitUntil(
		[&] {
			return output.text().find("[PreviewWriter] Preview saved again after") != std::string::npos;
		},
		kGenerousTimeout));
	EXPECT_EQ(decodedWidth(target), 48);
	EXPECT_NE(output.text().find("[PreviewWriter] Preview saved again after 5 failed attempts\n"),
		  std::string::npos)
		<< output.text();
	EXPECT_EQ(writerLines(errors.text()), std::vector<std::string>{failure});
}

// Something removed the preview directory while the writer ran: the next
// picture puts it back, as the server keeps looking there.
TEST(PreviewWriterTest, ARemovedDirectoryIsCreatedAgain)
{
	TemporaryDirectory directory;
	const fs::path previewDirectory = directory.path() / "preview";
	const fs::path target = previewDirectory / "preview.jpg";
	CapturedStream errors(STDERR_FILENO);
	CapturedStream output(STDOUT_FILENO);
	PreviewWriter writer;
	std::string message;
	ASSERT_TRUE(writer.init(previewDirectory.string(), AV_PIX_FMT_NV12, message));
	ASSERT_TRUE(writer.start());
	FrameHolder first = makeFlatPicture(32, 16, red);
	writer.submitFrame(first.get());
	ASSERT_TRUE(waitUntil([&] { return decodedWidth(target) == 32; }, kGenerousTimeout));

	fs::remove_all(previewDirectory);
	FrameHolder second = makeFlatPicture(64, 16, blue);
	writer.submitFrame(second.get());
	ASSERT_TRUE(waitUntil([&] { return decodedWidth(target) == 64; }, kGenerousTimeout));
	EXPECT_NE(output.text().find("[PreviewWriter] Preview directory was missing, created it again: " +
				     previewDirectory.string() + "\n"),
		  std::string::npos)
		<< output.text();
	EXPECT_EQ(writerLines(errors.text()), std::vector<std::string>{});

	// A file in its place is not removed: that picture fails.
	fs::remove_all(previewDirectory);
	test::writeFile(previewDirectory, "someone else's");
	writer.submitFrame(first.get());
	ASSERT_TRUE(waitUntil([&] { return !writerLines(errors.text()).empty(); }, kGenerousTimeout));
	EXPECT_EQ(writerLines(errors.text()),
		  std::vector<std::string>{
			  "[PreviewWriter] Failed to save preview: Failed to create preview directory: Not a directory\n"});
	EXPECT_EQ(readFile(previewDirectory), "someone else's");
}

TEST(PreviewWriterTest, ABusyWriterKeepsTheTwoNewestPictures)
{
	TemporaryDirectory directory;
	const fs::path temporary = directory.path() / "preview.jpg.tmp";
	// Every save fails at its last step, printing one line per picture
	// handled; a picture too wide for JPEG fails earlier with another line.
	fs::create_directory(directory.path() / "preview.jpg");
	// The first save writes into a pipe that nobody drains yet: the writer is
	// busy for as long as the test wants.
	ASSERT_EQ(mkfifo(temporary.c_str(), 0600), 0);
	const int pipeReader = open(temporary.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	ASSERT_GE(pipeReader, 0);

	// Noise makes a JPEG far larger than a pipe holds.
	FrameHolder busy = makeFlatPicture(1024, 512, black);
	std::mt19937 random(7);
	for (int y = 0; y < 512; ++y)
		for (int x = 0; x < 1024; ++x)
			busy->data[0][y * busy->linesize[0] + x] = uint8_t(random());
	FrameHolder oldest = makeFlatPicture(80, 16, white);
	FrameHolder tooWide = makeFlatPicture(65600, 2, red);
	FrameHolder newest = makeFlatPicture(96, 16, blue);

	const std::string renameFailure =
		"[PreviewWriter] Failed to save preview: Failed to replace preview file atomically\n";
	CapturedStream errors(STDERR_FILENO);
	size_t busyBytes = 0;
	{
		PreviewWriter writer;
		std::string message;
		ASSERT_TRUE(writer.init(directory.path().string(), AV_PIX_FMT_NV12, message));
		ASSERT_TRUE(writer.start());
		writer.submitFrame(busy.get());
		pollfd readable{pipeReader, POLLIN, 0};
		ASSERT_EQ(poll(&readable, 1, int(std::chrono::milliseconds(kGenerousTimeout).count())), 1);
		writer.submitFrame(oldest.get());
		writer.submitFrame(tooWide.get());
		writer.submitFrame(newest.get());

		char buffer[65536];
		for (;;) {
			const ssize_t count = read(pipeReader, buffer, sizeof(buffer));
			if (count == 0)
				break;
			if (count < 0) {
				ASSERT_EQ(errno, EAGAIN);
				poll(&readable, 1, 1000);
				continue;
			}
			busyBytes += size_t(count);
		}
		// Done when the last picture's line follows the too wide one's.
		EXPECT_TRUE(waitUntil(
			[&] {
				const std::string text = errors.text();
				const size_t encoderFailure = text.find("Failed to open MJPEG encoder");
				return encoderFailure != std::string::npos &&
				       text.find(renameFailure, encoderFailure) != std::string::npos;
			},
			kGenerousTimeout));
	}
	close(pipeReader);
	EXPECT_GT(busyBytes, 65536u);

	// The busy picture, then the two newest in order; the oldest waiting one
	// was dropped.
	const std::string text = errors.text();
	const std::vector<std::string> lines = writerLines(text);
	ASSERT_EQ(lines.size(), 3u) << text;
	EXPECT_EQ(lines[0], renameFailure);
	EXPECT_NE(lines[1], renameFailure);
	EXPECT_EQ(lines[1].rfind("[PreviewWriter] Failed to save preview: ", 0), 0u) << lines[1];
	EXPECT_EQ(lines[2], renameFailure);
}

TEST(PreviewWriterTest, AReaderNeverSeesATornPicture)
{
	TemporaryDirectory directory;
	const fs::path target = directory.path() / "preview.jpg";
	PreviewWriter writer;
	std::string message;
	ASSERT_TRUE(writer.init(directory.path().string(), AV_PIX_FMT_NV12, message));
	ASSERT_TRUE(writer.start());

	// The reader reads the file without pause while the writer replaces it
	// with one picture after another; each picture is submitted once the
	// reader has seen the one before, so that none is dropped.
	constexpr int pictureCount = 20;
	std::atomic<bool> done = false;
	std::atomic<int> tornReads = 0;
	std::atomic<size_t> seenCount = 0;
	std::set<std::string> seen;
	std::thread reader([&] {
		while (!done) {
			std::error_code error;
			if (!fs::exists(target, error))
				continue;
			const std::string bytes = readFile(target);
			if (!isWholeJpeg(bytes)) {
				++tornReads;
			} else {
				seen.insert(bytes);
				seenCount = seen.size();
			}
		}
	});
	int submitted = 0;
	for (; submitted < pictureCount; ++submitted) {
		FrameHolder picture = makeFlatPicture(640, 360, Colour{uint8_t(16 + submitted * 10), 128, 128});
		writer.submitFrame(picture.get());
		if (!waitUntil([&] { return seenCount > size_t(submitted); }, kGenerousTimeout))
			break;
	}
	done = true;
	reader.join();
	EXPECT_EQ(submitted, pictureCount) << "the reader never saw picture " << submitted;
	EXPECT_EQ(tornReads, 0);
	EXPECT_EQ(seen.size(), size_t(pictureCount));
}

} // namespace
} // namespace tiloran
