// SPDX-License-Identifier: BSD-2-Clause
// The test runner's verdict (tools/tally-tests): a run may not pass with fewer tests than it was asked for.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A JUnit file as ctest writes it, one test case per letter: r ran, f failed, s skipped for a reason of its own,
// n skipped for want of the sandbox.
std::string results_of(const std::string &cases)
{
    int failures = 0;
    std::string body;
    for (char c : cases) {
        failures += c == 'f';
        bool skipped = c == 's' || c == 'n';
        body += std::string("<testcase name=\"T\" status=\"") + (skipped ? "notrun" : c == 'f' ? "fail" : "run") +
                "\">\n" + (skipped ? "<skipped message=\"SKIP_REGULAR_EXPRESSION_MATCHED\"/>\n" : "") +
                "<system-out>x.cpp:1: " +
                (c == 's' ? "Skipped\nno locale\n" : c == 'n' ? "Skipped\nno sandbox: root\n" : "\n") +
                "</system-out>\n</testcase>\n";
    }
    return "<testsuite name=\"(empty)\"\n\ttests=\"" + std::to_string(cases.size()) + "\"\n\tfailures=\"" +
           std::to_string(failures) + "\"\n\t>\n" + body + "</testsuite>\n";
}

TEST(TallyTests, ARunFailsOnAFailureAndWhenFewerTestsRanThanWereAskedForOrNone)
{
    // Tests skipped for want of their sandbox fail the run either way, for the reason of the user who ran it.
    const std::string unmade = geteuid() == 0
        ? "run-tests: FAILED: run as root, yet the sandbox of the system and load tests could not be made\n"
        : "run-tests: FAILED: 2 system and load tests need root and did not run; `sudo sh tools/run-tests` runs "
          "everything, `sh tools/run-tests --unit` the unit tests alone\n";
    const struct { std::string cases; const char *selected; int status; std::string says; } rows[] = {
        {"rrr", "3", 0, "run-tests: 0 skipped\n3 passed, 0 failed, 0 skipped\n"},
        {"rsr", "3", 0, "run-tests: 1 skipped: [1] no locale\n2 passed, 0 failed, 1 skipped\n"},
        {"rfr", "3", 1, "run-tests: 0 skipped\n2 passed, 1 failed, 0 skipped\n"},
        {"rr", "3", 1, "run-tests: 0 skipped\nrun-tests: FAILED: 2 of the 3 tests asked for ran\n"
                       "2 passed, 0 failed, 0 skipped\n"},
        {"", "0", 1, "run-tests: 0 skipped\nrun-tests: FAILED: no test ran\n0 passed, 0 failed, 0 skipped\n"},
        {"rnnr", "4", 1, "run-tests: 2 skipped: [2] no sandbox: root\n" + unmade + "2 passed, 0 failed, 2 skipped\n"},
        {"rr", "", 1, "run-tests: 0 skipped\nrun-tests: FAILED: how many tests were asked for is not known ('')\n"
                      "2 passed, 0 failed, 0 skipped\n"},
    };
    char path[] = "/tmp/tally-tests.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    for (auto &row : rows) {
        FILE *file = fopen(path, "w");
        ASSERT_NE(file, nullptr);
        fputs(results_of(row.cases).c_str(), file);
        fclose(file);
        std::string command = std::string("sh " GPSFANOUT_SOURCE_DIR "/tools/tally-tests ") + path + " '" +
                              row.selected + "'", says;
        FILE *run = popen(command.c_str(), "r");
        ASSERT_NE(run, nullptr);
        char buffer[256];
        while (fgets(buffer, sizeof buffer, run) != nullptr)
            says += buffer;
        int status = pclose(run);
        SCOPED_TRACE(row.cases + " of " + row.selected);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.status);
        EXPECT_EQ(says, row.says);
    }
    unlink(path);
}

} // namespace
