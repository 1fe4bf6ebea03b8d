// Runs the built tool as a script would: in a fresh directory, standard
// input closed, output captured, with a deadline so a hang fails the test.
#ifndef TORQUELIN_HARNESS_H
#define TORQUELIN_HARNESS_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

enum class Input { Closed, SilentPipe };

struct Result {
	int code = -1;        // exit status as a shell sees it (-1 is 255)
	bool hung = false;    // killed at the deadline
	std::string out, err;
};

// A test whose runs happen in a directory of its own, removed afterwards.
class ToolTest : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	// Runs the tool with args in dir (relative to the test directory).
	Result Run(const std::vector<std::string> &args, Input in = Input::Closed,
	    const std::string &dir = "", int seconds = 20);
	// Runs a shell command in the test directory.
	int Sh(const std::string &command);

	std::string Path(const std::string &name) const;
	void Write(const std::string &name, const std::string &content);
	std::string Read(const std::string &name) const;
	bool Exists(const std::string &name) const;
	// Names in the test directory (or a directory below it), sorted.
	std::vector<std::string> List(const std::string &dir = "") const;

	std::string dir_;      // the test directory
	std::string scratch_;  // where captured output goes, outside dir_
};

// True when the binary under test is a Windows build (run under Wine).
bool WindowsBuild();

#endif
