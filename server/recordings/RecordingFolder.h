#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tiloran {

// The stream's recordings as the API shows them: the MPEG-TS files that the
// worker writes into the recordings folder. Only names of the worker's own
// form are taken (isRecordingFileName), so that no name leaves the folder.
//
// Threading: any thread; it keeps nothing but the folder's path.
class RecordingFolder
{
public:
	struct Recording {
		std::string name;
		uintmax_t sizeBytes = 0;
		// When it began, from its name: "YYYY-MM-DDTHH:MM:SSZ".
		std::string start;
		// From the first to the last picture's timestamp.
		double durationSeconds = 0;
	};
	enum class Lookup { Found, BadName, Missing };

	explicit RecordingFolder(std::filesystem::path folder);

	// Oldest first; nothing when the folder does not exist yet.
	std::vector<Recording> list() const;
	// The file of the recording named name.
	Lookup find(const std::string &name, std::filesystem::path &path) const;
	// Found once it is gone; the reason in message where it could not be.
	Lookup remove(const std::string &name, std::string &message) const;

private:
	std::filesystem::path folder_;
};

} // namespace tiloran
