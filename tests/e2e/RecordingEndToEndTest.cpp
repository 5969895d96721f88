// The stream recorded on the encoder's disk through the real programs: the
// recording against what a real SRT listener received, its files cut on key
// pictures, a disk that fills, and the recordings through the API.

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include "e2e/EndToEndSupport.h"

using namespace std::chrono_literals;
using namespace tiloran::test;
using nlohmann::json;

namespace {

std::string quotedPath(const std::filesystem::path &path)
{
	return "'" + path.string() + "'";
}

std::vector<std::filesystem::path> recordingFiles(const std::filesystem::path &folder)
{
	std::vector<std::filesystem::path> files;
	std::error_code ignored;
	for (const auto &entry : std::filesystem::directory_iterator(folder, ignored))
		files.push_back(entry.path());
	std::sort(files.begin(), files.end());
	return files;
}

std::string fileBytes(const std::filesystem::path &path)
{
	std::ifstream file(path, std::ios::binary);
	return { std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>() };
}

// Whether the program table (PID 0) comes before the file's first PES packet.
bool beginsWithTables(const std::filesystem::path &path)
{
	const std::string bytes = fileBytes(path);
	for (size_t offset = 0; offset + 188 <= bytes.size(); offset += 188) {
		const auto byte = [&](size_t index) { return static_cast<unsigned char>(bytes[offset + index]); };
		const int pid = ((byte(1) & 0x1f) << 8) | byte(2);
		if (pid == 0)
			return true;
		const bool unitStart = (byte(1) & 0x40) != 0;
		const size_t payload = (byte(3) & 0x20) ? 5 + byte(4) : 4;
		if (unitStart && payload + 3 <= 188 && byte(payload) == 0 && byte(payload + 1) == 0 && byte(payload + 2) == 1)
			return false;
	}
	return false;
}

// ffprobe's flags of the first video packet ("K" for a key picture).
std::string firstVideoPacketFlags(const std::filesystem::path &path)
{
	return runCommand("ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 " +
			  quotedPath(path) + " | head -n 1");
}

// What decoding the whole file complains of; empty for a clean decode.
std::string decodeErrors(const std::filesystem::path &path)
{
	return runCommand("ffmpeg -nostdin -v error -i " + quotedPath(path) + " -f null - 2>&1");
}

json recordingRequest(const SrtRecorder &recorder, double segmentMinutes)
{
	json request = startRequest(recorder.hostPort(), { { 1, 1 }, { 2, 2 } });
	request["record"] = true;
	request["recordSegmentMinutes"] = segmentMinutes;
	// Time enough that the listener drops nothing as too late on a loaded
	// machine: it is to get all that was recorded.
	request["srtLatency"] = 1000;
	return request;
}

} // namespace

// 10 s recorded in files of 3 s (0.05 minutes) while a listener receives the
// stream; then the recordings through the API.
TEST(RecordingEndToEnd, RecordsWhatTheReceiverGetsInFilesCutOnKeyPictures)
{
	ServerSession server({ "--test-inputs=2:640x360p25" });
	SrtRecorder recorder;
	const std::filesystem::path folder = server.directory() / "recordings";

	std::string answer;
	json refused = recordingRequest(recorder, 0.01);
	EXPECT_FALSE(server.startStream(refused, answer));
	EXPECT_NE(answer.find("Field recordSegmentMinutes must be a number from 0.05 to 1440"), std::string::npos)
		<< answer;
	refused = recordingRequest(recorder, 1);
	refused["record"] = "yes";
	EXPECT_FALSE(server.startStream(refused, answer));
	EXPECT_NE(answer.find("Field record must be true or false"), std::string::npos) << answer;
	EXPECT_FALSE(std::filesystem::exists(server.workerConfigPath())) << "a refusal wrote the document";

	ASSERT_TRUE(server.startStream(recordingRequest(recorder, 0.05), answer)) << answer << server.errors();
	ASSERT_TRUE(recorder.waitForBytes(1, kGenerousTimeout)) << server.output() << server.errors();
	std::this_thread::sleep_for(10s);
	stopAndExpectOrderlyEnd(server, recorder);

	const std::vector<std::filesystem::path> files = recordingFiles(folder);
	ASSERT_GE(files.size(), 3u) << server.output() << server.errors();
	PacketTimes recorded;
	std::vector<int64_t> segmentStarts;
	for (const std::filesystem::path &file : files) {
		SCOPED_TRACE(file.filename().string());
		EXPECT_TRUE(beginsWithTables(file));
		EXPECT_NE(firstVideoPacketFlags(file).find('K'), std::string::npos) << "not beginning on a key picture";
		EXPECT_EQ(decodeErrors(file), "");
		const PacketTimes times = probePacketTimes(file);
		ASSERT_FALSE(times.videoPts.empty());
		const auto [first, last] = std::minmax_element(times.videoPts.begin(), times.videoPts.end());
		EXPECT_LT(*last - *first, 3 * 90000) << "longer than its segment";
		// The next file begins with the first picture of its segment's time.
		if (!segmentStarts.empty()) {
			EXPECT_GE(*first - segmentStarts.back(), 3 * 90000) << "cut before its time";
		}
		segmentStarts.push_back(*first);
		recorded.videoPts.insert(recorded.videoPts.end(), times.videoPts.begin(), times.videoPts.end());
		recorded.audioPts.insert(recorded.audioPts.end(), times.audioPts.begin(), times.audioPts.end());
	}
	// The link's last moment may not reach the listener when the stream
	// ends: compared is what the recording holds of the listener's time.
	const PacketTimes received = probePacketTimes(recorder.recording());
	const auto compare = [](std::vector<int64_t> ours, std::vector<int64_t> theirs, double tolerance) {
		ASSERT_FALSE(theirs.empty());
		const auto [first, last] = std::minmax_element(theirs.begin(), theirs.end());
		EXPECT_LE(*std::min_element(ours.begin(), ours.end()), *first) << "the recording begins late";
		EXPECT_GE(*std::max_element(ours.begin(), ours.end()), *last) << "the recording ends early";
		const auto within = std::count_if(ours.begin(), ours.end(),
						  [&](int64_t pts) { return pts >= *first && pts <= *last; });
		EXPECT_NEAR(static_cast<double>(within), static_cast<double>(theirs.size()), tolerance);
	};
	compare(recorded.videoPts, received.videoPts, 1);
	// One picture's time of AAC frames (1024 samples at 48 kHz): 2.
	compare(recorded.audioPts, received.audioPts, 2);

	// The list, a download whole and in part, names that would leave the folder.
	httplib::Result listed = server.get("/api/recordings");
	ASSERT_TRUE(listed);
	ASSERT_EQ(listed->status, 200);
	const json list = json::parse(listed->body)["recordings"];
	ASSERT_EQ(list.size(), files.size()) << list.dump(2);
	for (size_t index = 0; index < files.size(); ++index) {
		EXPECT_EQ(list[index]["name"], files[index].filename().string());
		EXPECT_EQ(list[index]["sizeBytes"].get<uintmax_t>(), std::filesystem::file_size(files[index]));
		EXPECT_EQ(list[index]["start"].get<std::string>().size(), 20u) << list[index].dump();
		EXPECT_GT(list[index]["durationSeconds"].get<double>(), 0.0);
	}
	EXPECT_NEAR(list[0]["durationSeconds"].get<double>(), 3.0, 0.2);

	const std::string name = files[0].filename().string();
	httplib::Result whole = server.get("/api/recordings/" + name);
	ASSERT_TRUE(whole);
	EXPECT_EQ(whole->status, 200);
	EXPECT_TRUE(whole->body == fileBytes(files[0])) << "the download differs from the file";

	httplib::Client client("127.0.0.1", 3000);
	httplib::Result part = client.Get("/api/recordings/" + name, { { "Range", "bytes=188-375" } });
	ASSERT_TRUE(part);
	EXPECT_EQ(part->status, 206);
	EXPECT_TRUE(part->body == fileBytes(files[0]).substr(188, 188));

	for (const std::string path : { "/api/recordings/../worker_config.json", "/api/recordings/..%2Fworker_config.json",
					"/api/recordings/%2E%2E%2Fpreview%2Fx.ts" }) {
		httplib::Result refusedName = client.Get(path);
		ASSERT_TRUE(refusedName);
		EXPECT_EQ(refusedName->status, 400) << path;
		EXPECT_NE(refusedName->body.find("Invalid recording name"), std::string::npos) << refusedName->body;
	}
	httplib::Result deleteOutside = client.Delete("/api/recordings/..%2Fworker_config.json");
	ASSERT_TRUE(deleteOutside);
	EXPECT_EQ(deleteOutside->status, 400);

	httplib::Result deleted = client.Delete("/api/recordings/" + name);
	ASSERT_TRUE(deleted);
	EXPECT_EQ(deleted->status, 200) << deleted->body;
	EXPECT_FALSE(std::filesystem::exists(files[0]));
	httplib::Result gone = client.Get("/api/recordings/" + name);
	ASSERT_TRUE(gone);
	EXPECT_EQ(gone->status, 404);
}

namespace {

// Once the recording has failed: its reason on the console and in the
// events, the stream going on, and (after beforeStop) the one file whole to
// its end.
void expectTheRecordingEndedAndTheStreamGoesOn(ServerSession &server, SrtRecorder &recorder,
					       const std::filesystem::path &folder, const std::string &reason,
					       const std::function<void()> &beforeStop = {})
{
	const auto deadline = std::chrono::steady_clock::now() + kGenerousTimeout;
	while (server.errors().find("Recording ended:") == std::string::npos && std::chrono::steady_clock::now() < deadline)
		std::this_thread::sleep_for(100ms);
	ASSERT_NE(server.errors().find("[Recording] Recording ended: writing "), std::string::npos) << server.errors();
	EXPECT_NE(server.errors().find(reason), std::string::npos) << server.errors();

	// The stream goes on.
	const uintmax_t before = recorder.recordedBytes();
	EXPECT_TRUE(recorder.waitForBytes(before + 200000, kGenerousTimeout));
	EXPECT_TRUE(server.waitForRunning(true, 1s));
	httplib::Result stats = server.get("/api/stream/stats");
	ASSERT_TRUE(stats);
	EXPECT_NE(stats->body.find("Recording ended"), std::string::npos) << "no event";
	if (beforeStop)
		beforeStop();
	stopAndExpectOrderlyEnd(server, recorder);

	const std::vector<std::filesystem::path> files = recordingFiles(folder);
	ASSERT_EQ(files.size(), 1u);
	EXPECT_EQ(std::filesystem::file_size(files[0]) % 188, 0u);
	EXPECT_EQ(decodeErrors(files[0]), "") << "the last file does not decode to its end";
	EXPECT_GT(countVideoPackets(files[0]), 10);
}

} // namespace

// A recordings folder on a tmpfs of 1 MiB, in a mount namespace of the
// test's own (root only): the disk fills within seconds.
TEST(RecordingEndToEnd, AFullDiskEndsTheRecordingAndNotTheStream)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "a tmpfs of the test's own needs root";
	ASSERT_EQ(unshare(CLONE_NEWNS), 0);
	ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);

	ServerSession server({ "--test-inputs=2:640x360p25" });
	SrtRecorder recorder;
	const std::filesystem::path folder = server.directory() / "recordings";
	std::filesystem::create_directories(folder);
	ASSERT_EQ(mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m"), 0);
	struct Unmount {
		std::filesystem::path folder;
		~Unmount() { umount2(folder.c_str(), MNT_DETACH); }
	} unmount{ folder };

	std::string answer;
	ASSERT_TRUE(server.startStream(recordingRequest(recorder, 60), answer)) << answer << server.errors();
	expectTheRecordingEndedAndTheStreamGoesOn(server, recorder, folder, "No space left on device");
}

// A file size limit of 1 MiB (ulimit -f) for the server and the worker it
// starts; the receiver, started before, has none. The write fails rather
// than the limit's signal ending the worker.
TEST(RecordingEndToEnd, AFileSizeLimitEndsTheRecordingAndNotTheStream)
{
	SrtRecorder recorder;
	rlimit limit{};
	ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
	const rlimit unlimited = limit;
	limit.rlim_cur = 1 << 20;
	ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
	ServerSession server({ "--test-inputs=2:640x360p25" });
	// The server has it; the tests after this one must not.
	ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);

	std::string answer;
	ASSERT_TRUE(server.startStream(recordingRequest(recorder, 60), answer)) << answer << server.errors();
	expectTheRecordingEndedAndTheStreamGoesOn(server, recorder, server.directory() / "recordings", "File too large");
}

// A recordings folder on an ext4 image of its own (root only, in a mount
// namespace of the test's own), frozen with fsfreeze while the stream is
// recorded: writes to it wait in the system, as on a disk that hangs. The
// recording ends for it and the stream does not wait; thawed, the file is
// whole to where it stopped.
TEST(RecordingEndToEnd, ADiskThatHangsEndsTheRecordingAndNotTheStream)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "a file system of the test's own needs root";
	ASSERT_EQ(unshare(CLONE_NEWNS), 0);
	ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);

	ServerSession server({ "--test-inputs=2:640x360p25" });
	SrtRecorder recorder;
	const std::filesystem::path folder = server.directory() / "recordings";
	const std::filesystem::path image = server.directory() / "disk.img";
	std::filesystem::create_directories(folder);
	int status = 0;
	const std::string made = runCommand("truncate -s 64M " + quotedPath(image) + " && mkfs.ext4 -q " +
					    quotedPath(image) + " && mount -o loop " + quotedPath(image) + " " +
					    quotedPath(folder) + " 2>&1 && rmdir " + quotedPath(folder / "lost+found"), &status);
	if (status != 0)
		GTEST_SKIP() << "no loop-mounted file system here (status " << status << "): " << made;
	struct Thaw {
		std::filesystem::path folder;
		~Thaw() { runCommand("fsfreeze -u '" + folder.string() + "' 2>/dev/null; umount -l '" + folder.string() + "'"); }
	} thaw{ folder };

	std::string answer;
	ASSERT_TRUE(server.startStream(recordingRequest(recorder, 60), answer)) << answer << server.errors();
	const auto deadline = std::chrono::steady_clock::now() + kGenerousTimeout;
	const auto recorded = [&folder] {
		const std::vector<std::filesystem::path> files = recordingFiles(folder);
		std::error_code error;
		const uintmax_t size = files.empty() ? 0 : std::filesystem::file_size(files[0], error);
		return error ? 0 : size;
	};
	while (recorded() < 500000 && std::chrono::steady_clock::now() < deadline)
		std::this_thread::sleep_for(100ms);
	ASSERT_GE(recorded(), 500000u) << server.errors();
	ASSERT_EQ(runCommand("fsfreeze -f " + quotedPath(folder) + " 2>&1", &status), "");
	ASSERT_EQ(status, 0);

	expectTheRecordingEndedAndTheStreamGoesOn(server, recorder, folder, "the disk took nothing for 10 s",
						  [&folder] { runCommand("fsfreeze -u " + quotedPath(folder)); });
}
