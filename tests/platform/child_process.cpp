#include "child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace tivlo::test {

bool InChildCase() { return std::getenv("TIVLO_CHILD_CASE") != nullptr; }

ChildResult RunChildCase(const std::string& filter,
                         const std::vector<std::pair<std::string, std::string>>& env) {
    ChildResult result;
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        return result;
    }
    std::string filterArg = "--gtest_filter=" + filter;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(errPipe[1], 2);
        int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            ::dup2(devnull, 1);
        }
        ::setenv("TIVLO_CHILD_CASE", "1", 1);
        for (const auto& [name, value] : env) {
            if (value.empty()) {
                ::unsetenv(name.c_str());
            } else {
                ::setenv(name.c_str(), value.c_str(), 1);
            }
        }
        char* argv[] = {const_cast<char*>("test_platform"), filterArg.data(), nullptr};
        ::execv("/proc/self/exe", argv);
        ::_exit(127);
    }
    ::close(errPipe[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(errPipe[0], buffer, sizeof buffer)) > 0) {
        result.standardError.append(buffer, static_cast<size_t>(n));
    }
    ::close(errPipe[0]);
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

}  // namespace tivlo::test
