// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <sys/resource.h>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "report/report_file.h"
#include "report_scratch.h"

// Run right after each unlink the code under test makes, when set: it can
// plant something in the moment between removing a name and creating it.
static std::function<void(const char *)> after_unlink;

// Stands in for the C library's unlink in this test program.
extern "C" int unlink(const char *path)
{
    int result = static_cast<int>(syscall(SYS_unlinkat, AT_FDCWD, path, 0));
    if (after_unlink) {
        int error = errno;
        after_unlink(path);
        errno = error;
    }
    return result;
}

namespace {

using names = std::vector<std::string>;

struct report_files {
    scratch_directory scratch;
    std::string path = scratch.at("nmea.status");
    std::string temporary = scratch.at("nmea.status.tmp");
    // 0 when published, else the reason.
    int publish(const std::string &content)
    {
        return publish_report(path.c_str(), temporary.c_str(), content.data(), content.size());
    }
    std::string content()
    {
        std::string text;
        return read_whole(path, &text) ? text : "<missing>";
    }
};

void expect_mode_0644_file(const std::string &path)
{
    struct stat info;
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST(ReportFile, PublishesExactlyTheBytesWithMode0644UnderTheDaemonsUmask)
{
    report_files files;
    ASSERT_FALSE(files.scratch.path.empty());
    mode_t saved = umask(022);
    int published = files.publish(std::string("first\0bytes\n", 12));
    umask(saved);
    ASSERT_EQ(published, 0);
    EXPECT_EQ(files.content(), std::string("first\0bytes\n", 12));
    expect_mode_0644_file(files.path);
    EXPECT_EQ(files.scratch.names(), names{"nmea.status"});
    // A shorter report replaces a longer one whole.
    ASSERT_EQ(files.publish("2nd"), 0);
    EXPECT_EQ(files.content(), "2nd");
}

TEST(ReportFile, ALinkPlantedAtTheTemporaryNameIsNeverFollowed)
{
    report_files files;
    std::string victim = files.scratch.at("victim");
    ASSERT_TRUE(write_whole(victim, "precious\n"));
    ASSERT_EQ(symlink(victim.c_str(), files.temporary.c_str()), 0);
    ASSERT_EQ(files.publish("report\n"), 0);
    EXPECT_EQ(files.content(), "report\n");
    std::string kept;
    ASSERT_TRUE(read_whole(victim, &kept));
    EXPECT_EQ(kept, "precious\n");
    struct stat info;
    ASSERT_EQ(lstat(files.path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));

    // A dangling link must not create its target either.
    std::string target = files.scratch.at("created-through-link");
    ASSERT_EQ(symlink(target.c_str(), files.temporary.c_str()), 0);
    ASSERT_EQ(files.publish("again\n"), 0);
    EXPECT_FALSE(exists(target));
    EXPECT_EQ(files.content(), "again\n");
}

TEST(ReportFile, AFileFifoOrEmptyDirectoryLeftAtTheTemporaryNameIsReplaced)
{
    report_files files;
    ASSERT_TRUE(write_whole(files.temporary, "stale and much longer than the report\n"));
    ASSERT_EQ(files.publish("fresh\n"), 0);
    EXPECT_EQ(files.content(), "fresh\n");
    // A FIFO is removed, never opened: opening it to write would block.
    ASSERT_EQ(mkfifo(files.temporary.c_str(), 0666), 0);
    ASSERT_EQ(files.publish("after fifo\n"), 0);
    EXPECT_EQ(files.content(), "after fifo\n");
    ASSERT_EQ(mkdir(files.temporary.c_str(), 0755), 0);
    ASSERT_EQ(files.publish("fresher\n"), 0);
    EXPECT_EQ(files.content(), "fresher\n");
    EXPECT_EQ(files.scratch.names(), names{"nmea.status"});
}

TEST(ReportFile, ADirectoryWithSomethingInItAtTheTemporaryNameIsLeftAloneAndAFreshNameIsUsed)
{
    report_files files;
    ASSERT_EQ(files.publish("good\n"), 0);
    ASSERT_EQ(mkdir(files.temporary.c_str(), 0755), 0);
    ASSERT_TRUE(write_whole(files.temporary + "/inside", "theirs\n"));
    for (const char *report : {"new\n", "newer\n"}) {
        mode_t saved = umask(077);
        int published = files.publish(report);
        umask(saved);
        ASSERT_EQ(published, 0);
        EXPECT_EQ(files.content(), report);
        expect_mode_0644_file(files.path);
    }
    // Nothing was taken from the directory, and no fresh name is left behind.
    std::string kept;
    ASSERT_TRUE(read_whole(files.temporary + "/inside", &kept));
    EXPECT_EQ(kept, "theirs\n");
    EXPECT_EQ(files.scratch.names(), (names{"nmea.status", "nmea.status.tmp"}));
}

TEST(ReportFile, AShortWriteNeverReplacesAGoodReport)
{
    report_files files;
    ASSERT_EQ(files.publish("good\n"), 0);
    // A file size limit makes the write stop short, as a full disk does.
    void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    rlimit saved_limit;
    getrlimit(RLIMIT_FSIZE, &saved_limit);
    rlimit small = saved_limit;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int published = files.publish(std::string(300, 'x'));
    setrlimit(RLIMIT_FSIZE, &saved_limit);
    signal(SIGXFSZ, saved_handler);
    EXPECT_EQ(published, EFBIG);
    EXPECT_EQ(files.content(), "good\n");
    EXPECT_FALSE(exists(files.temporary));
    // Once there is room again, reports go on.
    ASSERT_EQ(files.publish(std::string(300, 'y')), 0);
    EXPECT_EQ(files.content(), std::string(300, 'y'));
}

TEST(ReportFile, AFailureGivesItsReasonAndLeavesNoTemporaryBehind)
{
    report_files files;
    // A directory at the report's name cannot be replaced by a file.
    ASSERT_EQ(mkdir(files.path.c_str(), 0755), 0);
    EXPECT_EQ(files.publish("report\n"), EISDIR);
    EXPECT_EQ(files.scratch.names(), names{"nmea.status"});
    // Nor when the fixed temporary name is taken too: the fresh one goes.
    ASSERT_EQ(mkdir(files.temporary.c_str(), 0755), 0);
    ASSERT_TRUE(write_whole(files.temporary + "/inside", "x"));
    EXPECT_EQ(files.publish("report\n"), EISDIR);
    EXPECT_EQ(files.scratch.names(), (names{"nmea.status", "nmea.status.tmp"}));
    // No directory to write in at all.
    std::string gone = files.scratch.at("gone/nmea.status");
    EXPECT_EQ(publish_report(gone.c_str(), (gone + ".tmp").c_str(), "x", 1), ENOENT);
}

TEST(ReportFile, ALinkMadeBetweenClearingAndCreatingTheTemporaryNameIsNeverWrittenThrough)
{
    report_files files;
    std::string victim = files.scratch.at("victim");
    ASSERT_TRUE(write_whole(victim, "precious\n"));
    // A link to it already stands at the temporary name, so the name is
    // cleared first; and again, just after it was cleared.
    ASSERT_EQ(link(victim.c_str(), files.temporary.c_str()), 0);
    // Someone links the temporary name to a file of theirs just after the
    // daemon cleared it: creating the name must fail, not open the link.
    after_unlink = [&](const char *path) {
        if (path == files.temporary)
            link(victim.c_str(), files.temporary.c_str());
    };
    int published = files.publish("report\n");
    after_unlink = nullptr;
    std::string kept;
    ASSERT_TRUE(read_whole(victim, &kept));
    EXPECT_EQ(kept, "precious\n");
    // The report still goes out, under a name of the daemon's own.
    EXPECT_EQ(published, 0);
    EXPECT_EQ(files.content(), "report\n");
}

} // namespace
