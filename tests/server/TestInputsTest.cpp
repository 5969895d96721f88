#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/TestInputs.h"

namespace tiloran {
namespace {

bool parse(std::vector<const char *> arguments, TestInputs &testInputs, std::string &message)
{
	arguments.insert(arguments.begin(), "tiloran_server");
	return parseTestInputsArguments(static_cast<int>(arguments.size()), arguments.data(), testInputs, message);
}

TEST(TestInputsTest, ValidOptions)
{
	struct Case {
		std::vector<const char *> arguments;
		int count;
		std::string mode;
	};
	const Case cases[] = {
		{ {}, 0, "" },
		{ { "portable", "--portable" }, 0, "" },
		{ { "--test-inputs=4" }, 4, "1920x1080i50" },
		{ { "portable", "--test-inputs=2:640x360p25" }, 2, "640x360p25" },
		{ { "--test-inputs=1:1280x720p59.94" }, 1, "1280x720p59.94" },
		{ { "--test-inputs=8:1920x1080p23.98" }, 8, "1920x1080p23.98" },
		{ { "--test-inputs=3:720x576i50" }, 3, "720x576i50" },
		{ { "--test-inputs=2:1920x1080i59.94", "--other" }, 2, "1920x1080i59.94" },
	};
	for (const Case &entry : cases) {
		TestInputs testInputs;
		std::string message;
		ASSERT_TRUE(parse(entry.arguments, testInputs, message)) << message;
		EXPECT_EQ(testInputs.count, entry.count);
		EXPECT_EQ(testInputs.mode, entry.mode);
		EXPECT_TRUE(message.empty());
	}
}

TEST(TestInputsTest, MalformedOptionsNameTheOption)
{
	const std::string count = "the number of test inputs must be from 1 to 8";
	const std::string shape = "the mode must look like 1920x1080i50 or 1280x720p50";
	const std::string size = "width and height must be even numbers from 16 to 8192";
	const std::string rate = "the rate must be a whole number from 1 to 120, or 23.98, 29.97 or 59.94";
	const std::pair<std::vector<const char *>, std::string> cases[] = {
		{ { "--test-inputs=0" }, "Invalid option --test-inputs=0: " + count },
		{ { "--test-inputs=9" }, "Invalid option --test-inputs=9: " + count },
		{ { "--test-inputs=" }, "Invalid option --test-inputs=: " + count },
		{ { "--test-inputs=-1" }, "Invalid option --test-inputs=-1: " + count },
		{ { "--test-inputs=two" }, "Invalid option --test-inputs=two: " + count },
		{ { "--test-inputs=2x" }, "Invalid option --test-inputs=2x: " + count },
		{ { "--test-inputs=2:" }, "Invalid option --test-inputs=2:: " + shape },
		{ { "--test-inputs=2:1920x1080" }, "Invalid option --test-inputs=2:1920x1080: " + shape },
		{ { "--test-inputs=2:1920i50" }, "Invalid option --test-inputs=2:1920i50: " + shape },
		{ { "--test-inputs=2:x1080i50" }, "Invalid option --test-inputs=2:x1080i50: " + shape },
		{ { "--test-inputs=2:1920x1080q50" }, "Invalid option --test-inputs=2:1920x1080q50: " + shape },
		{ { "--test-inputs=2:641x360p25" }, "Invalid option --test-inputs=2:641x360p25: " + size },
		{ { "--test-inputs=2:8x8p25" }, "Invalid option --test-inputs=2:8x8p25: " + size },
		{ { "--test-inputs=2:640x360p" }, "Invalid option --test-inputs=2:640x360p: " + rate },
		{ { "--test-inputs=2:640x360p0" }, "Invalid option --test-inputs=2:640x360p0: " + rate },
		{ { "--test-inputs=2:640x360p24.5" }, "Invalid option --test-inputs=2:640x360p24.5: " + rate },
		{ { "--test-inputs=2:640x360p121" }, "Invalid option --test-inputs=2:640x360p121: " + rate },
		{ { "--test-inputs" }, "Invalid option --test-inputs: use --test-inputs=N or --test-inputs=N:MODE" },
		{ { "--test-inputs4" }, "Invalid option --test-inputs4: use --test-inputs=N or --test-inputs=N:MODE" },
		{ { "--test-inputs=1", "--test-inputs=2" }, "Option --test-inputs given more than once" },
	};
	for (const auto &[arguments, expected] : cases) {
		TestInputs testInputs;
		std::string message;
		EXPECT_FALSE(parse(arguments, testInputs, message)) << expected;
		EXPECT_EQ(message, expected);
		EXPECT_EQ(testInputs.count, 0);
	}
}

} // namespace
} // namespace tiloran
