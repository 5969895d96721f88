#pragma once

#include <string>

#include <gtest/gtest.h>

namespace tiloran::test {

// A test whose standard output is captured from SetUp on, for tests of
// components that print their console lines.
class CapturedOutputTest : public ::testing::Test
{
protected:
	void SetUp() override { testing::internal::CaptureStdout(); }
	void TearDown() override
	{
		if (!outputTaken_)
			testing::internal::GetCapturedStdout();
	}

	// Everything printed since SetUp; call once, at the end.
	std::string output()
	{
		outputTaken_ = true;
		return testing::internal::GetCapturedStdout();
	}

private:
	bool outputTaken_ = false;
};

} // namespace tiloran::test
