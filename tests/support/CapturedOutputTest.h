#pragma once

#include <iostream>
#include <string>

#include <gtest/gtest.h>

namespace tiloran::test {

// A test whose standard output is captured from SetUp on, for tests of
// components that print their console lines.
class CapturedOutputTest : public ::testing::Test
{
protected:
	void SetUp() override { testing::internal::CaptureStdout(); }
	// gtest prints a failed assertion to standard output too, so a failed
	// test's captured text is passed on: without it the failure has no words.
	void TearDown() override
	{
		const std::string rest = outputTaken_ ? std::string() : testing::internal::GetCapturedStdout();
		if (HasFailure())
			std::cerr << "--- what the test printed ---\n" << (outputTaken_ ? taken_ : rest) << std::flush;
	}

	// Everything printed since SetUp; call once, at the end.
	std::string output()
	{
		outputTaken_ = true;
		taken_ = testing::internal::GetCapturedStdout();
		return taken_;
	}

private:
	bool outputTaken_ = false;
	std::string taken_;
};

} // namespace tiloran::test
