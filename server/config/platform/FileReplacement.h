#pragma once

#include <filesystem>
#include <string_view>

namespace tiloran {

enum class FileReplaceResult {
	Replaced,
	OpenFailed,
	WriteFailed,
};

// Replaces the file at target with contents as one step: the contents go to a
// temporary file beside it (target name + ".tmp"), are flushed to disk and the
// temporary file is renamed over target. A reader sees the old file or the new
// one, never a part of either; on failure target is left as it was. The file
// is readable by its owner only where the platform has such modes (it may
// hold a passphrase). Contents use "\n" line ends; on Windows the file gets
// CR LF. The caller serialises replacements of the same file.
FileReplaceResult replaceFileContents(const std::filesystem::path &target, std::string_view contents);

} // namespace tiloran
