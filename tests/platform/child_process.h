// Runs one case of this test program in a child process with extra
// environment, for behaviour that reads the environment once per process.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tivlo::test {

struct ChildResult {
    int exitCode = -1;
    std::string standardError;
};

// Runs this program with --gtest_filter=filter and the variables set (an
// empty value unsets it). TIVLO_CHILD_CASE=1 marks the child.
ChildResult RunChildCase(const std::string& filter,
                         const std::vector<std::pair<std::string, std::string>>& env);

// True inside such a child; the child cases skip themselves otherwise.
bool InChildCase();

}  // namespace tivlo::test
