#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/protocol/EventCode.h"
#include "common/protocol/StartRefusalCode.h"

using namespace tiloran;

namespace {

// The codes the page knows, as WEB/js/codes.mjs lists them under name, one a line.
std::vector<std::string> pageCodes(const std::string &name)
{
	std::ifstream file(std::filesystem::path(TILORAN_SOURCE_DIR) / "WEB" / "js" / "codes.mjs");
	const std::regex entry(R"(^\t'([a-z.]+)',$)");
	std::vector<std::string> codes;
	bool inList = false;
	for (std::string line; std::getline(file, line);) {
		std::smatch match;
		if (line.rfind("export const " + name + " ", 0) == 0)
			inList = true;
		else if (inList && line == "]);")
			break;
		else if (inList && std::regex_match(line, match, entry))
			codes.push_back(match[1]);
		else if (inList)
			ADD_FAILURE() << "not a code of the list: " << line;
	}
	return codes;
}

} // namespace

// The page explains what the worker and the server report by these codes
// alone: both sides have the same list.
TEST(EventCodeListTest, ThePageKnowsEveryCodeOfTheProgramsAndNoOther)
{
	std::vector<std::string> programs;
	std::set<std::string> distinct;
	for (const EventCodeEntry &entry : eventCodes) {
		programs.emplace_back(entry.text);
		distinct.emplace(entry.text);
		EXPECT_EQ(eventCodeNamed(entry.text), entry.code) << entry.text;
		EXPECT_FALSE(entry.defaultMessage.empty()) << entry.text;
	}
	EXPECT_EQ(distinct.size(), programs.size()) << "a code given twice";
	EXPECT_EQ(pageCodes("EVENT_CODES"), programs);
	EXPECT_EQ(eventCodeNamed("no.such.code"), std::nullopt);
	// The strings the SRT link gave before the list keep their meaning.
	for (const char *kept : { "srt.rejected", "srt.host.unresolved", "srt.peer.silent", "srt.failed", "srt.lost" })
		EXPECT_TRUE(eventCodeNamed(kept).has_value()) << kept;
}

// The page explains a refused start by its code: both sides have the same list.
TEST(EventCodeListTest, ThePageKnowsEveryStartRefusalCodeOfTheServerAndNoOther)
{
	std::vector<std::string> server;
	for (const StartRefusalCodeEntry &entry : startRefusalCodes) {
		server.emplace_back(entry.text);
		EXPECT_EQ(startRefusalCodeNamed(entry.text), entry.code) << entry.text;
	}
	EXPECT_EQ(std::set<std::string>(server.begin(), server.end()).size(), server.size()) << "a code given twice";
	EXPECT_EQ(pageCodes("START_REFUSAL_CODES"), server);
}
