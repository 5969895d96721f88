#include "recordings/RecordingFolder.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <system_error>
#include <utility>

#include "common/RecordingName.h"
#include "common/TsPacket.h"

namespace tiloran {

namespace {

// How far into a file, and back from its end, a picture's timestamp is looked for.
constexpr std::streamoff scanBytes = 1 << 20;

// "YYYYMMDD-HHMMSS_..." as "YYYY-MM-DDTHH:MM:SSZ"; empty for another form.
std::string startOf(const std::string &name)
{
	if (name.size() < 16 || name[8] != '-' || name[15] != '_' ||
	    !std::all_of(name.begin(), name.begin() + 8, [](char c) { return c >= '0' && c <= '9'; }) ||
	    !std::all_of(name.begin() + 9, name.begin() + 15, [](char c) { return c >= '0' && c <= '9'; }))
		return {};
	return name.substr(0, 4) + "-" + name.substr(4, 2) + "-" + name.substr(6, 2) + "T" + name.substr(9, 2) + ":" +
	       name.substr(11, 2) + ":" + name.substr(13, 2) + "Z";
}

// The first and the last picture's timestamp among the whole TS packets of
// bytes (which begin on a packet).
void scanPts(const std::string &bytes, std::optional<int64_t> &first, std::optional<int64_t> &last)
{
	for (std::size_t offset = 0; offset + kTsPacketSize <= bytes.size(); offset += kTsPacketSize) {
		const std::optional<int64_t> pts = videoPesPts(reinterpret_cast<const uint8_t *>(bytes.data() + offset));
		if (!pts)
			continue;
		if (!first)
			first = pts;
		last = pts;
	}
}

double durationOf(const std::filesystem::path &path, uintmax_t size)
{
	std::ifstream file(path, std::ios::binary);
	if (!file)
		return 0;
	const std::streamoff length = static_cast<std::streamoff>(size);
	std::string head(static_cast<std::size_t>(std::min(length, scanBytes)), '\0');
	file.read(head.data(), static_cast<std::streamsize>(head.size()));
	std::optional<int64_t> first;
	std::optional<int64_t> last;
	scanPts(head, first, last);
	if (length > scanBytes) {
		// From a packet boundary: the file holds whole packets only.
		const std::streamoff from =
			(length - scanBytes) / static_cast<std::streamoff>(kTsPacketSize) * static_cast<std::streamoff>(kTsPacketSize);
		std::string tail(static_cast<std::size_t>(length - from), '\0');
		file.seekg(from);
		file.read(tail.data(), static_cast<std::streamsize>(tail.size()));
		std::optional<int64_t> tailFirst;
		scanPts(tail, tailFirst, last);
	}
	if (!first || !last)
		return 0;
	// Timestamps run in 33 bits.
	const int64_t span = (*last - *first) & ((int64_t{ 1 } << 33) - 1);
	return static_cast<double>(span) / 90000.0;
}

} // namespace

RecordingFolder::RecordingFolder(std::filesystem::path folder) : folder_(std::move(folder))
{
}

std::vector<RecordingFolder::Recording> RecordingFolder::list() const
{
	std::vector<Recording> recordings;
	std::error_code error;
	for (std::filesystem::directory_iterator entry(folder_, error), end; !error && entry != end;
	     entry.increment(error)) {
		const std::string name = entry->path().filename().string();
		std::error_code ignored;
		if (!isRecordingFileName(name) || !entry->is_regular_file(ignored))
			continue;
		const uintmax_t size = entry->file_size(ignored);
		if (ignored)
			continue;
		recordings.push_back({ name, size, startOf(name), durationOf(entry->path(), size) });
	}
	std::sort(recordings.begin(), recordings.end(),
		  [](const Recording &a, const Recording &b) { return a.name < b.name; });
	return recordings;
}

RecordingFolder::Lookup RecordingFolder::find(const std::string &name, std::filesystem::path &path) const
{
	if (!isRecordingFileName(name))
		return Lookup::BadName;
	path = folder_ / name;
	std::error_code ignored;
	return std::filesystem::is_regular_file(path, ignored) ? Lookup::Found : Lookup::Missing;
}

RecordingFolder::Lookup RecordingFolder::remove(const std::string &name, std::string &message) const
{
	std::filesystem::path path;
	const Lookup found = find(name, path);
	if (found != Lookup::Found)
		return found;
	std::error_code error;
	if (!std::filesystem::remove(path, error) && error) {
		message = "Failed to delete recording " + name + ": " + error.message();
		return Lookup::Missing;
	}
	return Lookup::Found;
}

} // namespace tiloran
