#pragma once

#include <cstddef>
#include <string_view>

namespace tiloran {

// The recordings' limits, shared by the server that checks a start request
// and the worker that checks its document.
inline constexpr double kShortestRecordSegmentMinutes = 0.05;
inline constexpr double kLongestRecordSegmentMinutes = 1440;
inline constexpr const char *kShortestRecordSegmentText = "0.05";
inline constexpr const char *kLongestRecordSegmentText = "1440";
inline constexpr std::size_t kLongestRecordingName = 64;

// A stream's name as it goes into a recording's file name: letters, digits,
// '-' and '_' only, at most 64 of them.
inline bool isRecordingName(std::string_view name, std::size_t longest = kLongestRecordingName)
{
	if (name.empty() || name.size() > longest)
		return false;
	for (const char c : name)
		if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
			return false;
	return true;
}

// A recording's file name as the API takes it: such characters and '.', one
// ".ts" at the end and no other dot, so that no name leaves the folder.
inline bool isRecordingFileName(std::string_view name)
{
	constexpr std::string_view suffix = ".ts";
	if (name.size() <= suffix.size() || name.substr(name.size() - suffix.size()) != suffix)
		return false;
	// The start time, the name and a number.
	return isRecordingName(name.substr(0, name.size() - suffix.size()), kLongestRecordingName + 32);
}

} // namespace tiloran
