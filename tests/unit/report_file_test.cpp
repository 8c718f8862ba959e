#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "report/report_file.h"
#include "report_scratch.h"

namespace {

struct report_files {
    scratch_directory scratch;
    std::string path = scratch.at("nmea.status");
    std::string temporary = scratch.at("nmea.status.tmp");
    bool publish(const std::string &content)
    {
        return publish_report(path.c_str(), temporary.c_str(), content.data(), content.size());
    }
    std::string content()
    {
        std::string text;
        return read_whole(path, &text) ? text : "<missing>";
    }
};

TEST(ReportFile, PublishesExactlyTheBytesWithMode0644WhateverTheUmask)
{
    report_files files;
    ASSERT_FALSE(files.scratch.path.empty());
    mode_t saved = umask(077);
    bool published = files.publish(std::string("first\0bytes\n", 12));
    umask(saved);
    ASSERT_TRUE(published);
    EXPECT_EQ(files.content(), std::string("first\0bytes\n", 12));
    struct stat info;
    ASSERT_EQ(lstat(files.path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_FALSE(exists(files.temporary));
    // A shorter report replaces a longer one whole.
    ASSERT_TRUE(files.publish("2nd"));
    EXPECT_EQ(files.content(), "2nd");
}

TEST(ReportFile, ALinkPlantedAtTheTemporaryNameIsNeverFollowed)
{
    report_files files;
    std::string victim = files.scratch.at("victim");
    ASSERT_TRUE(write_whole(victim, "precious\n"));
    ASSERT_EQ(symlink(victim.c_str(), files.temporary.c_str()), 0);
    ASSERT_TRUE(files.publish("report\n"));
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
    ASSERT_TRUE(files.publish("again\n"));
    EXPECT_FALSE(exists(target));
    EXPECT_EQ(files.content(), "again\n");
}

TEST(ReportFile, AFileLeftAtTheTemporaryNameIsReplaced)
{
    report_files files;
    ASSERT_TRUE(write_whole(files.temporary, "stale and much longer than the report\n"));
    ASSERT_TRUE(files.publish("fresh\n"));
    EXPECT_EQ(files.content(), "fresh\n");
    // An empty directory there is removed too.
    ASSERT_EQ(mkdir(files.temporary.c_str(), 0755), 0);
    ASSERT_TRUE(files.publish("fresher\n"));
    EXPECT_EQ(files.content(), "fresher\n");
}

TEST(ReportFile, WhenTheTemporaryCannotBeMadeTheOldReportStays)
{
    report_files files;
    ASSERT_TRUE(files.publish("good\n"));
    // A directory with something in it cannot be removed.
    ASSERT_EQ(mkdir(files.temporary.c_str(), 0755), 0);
    ASSERT_TRUE(write_whole(files.temporary + "/inside", "x"));
    EXPECT_FALSE(files.publish("new\n"));
    EXPECT_EQ(files.content(), "good\n");
}

TEST(ReportFile, AShortWriteNeverReplacesAGoodReport)
{
    report_files files;
    ASSERT_TRUE(files.publish("good\n"));
    // A file size limit makes the write stop short, as a full disk does.
    void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    rlimit saved_limit;
    getrlimit(RLIMIT_FSIZE, &saved_limit);
    rlimit small = saved_limit;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool published = files.publish(std::string(300, 'x'));
    setrlimit(RLIMIT_FSIZE, &saved_limit);
    signal(SIGXFSZ, saved_handler);
    EXPECT_FALSE(published);
    EXPECT_EQ(files.content(), "good\n");
    EXPECT_FALSE(exists(files.temporary));
    // Once there is room again, reports go on.
    ASSERT_TRUE(files.publish(std::string(300, 'y')));
    EXPECT_EQ(files.content(), std::string(300, 'y'));
}

TEST(ReportFile, AFailedRenameLeavesNoTemporaryBehind)
{
    report_files files;
    // A directory that is not empty cannot be replaced by a file.
    ASSERT_EQ(mkdir(files.path.c_str(), 0755), 0);
    ASSERT_TRUE(write_whole(files.path + "/inside", "x"));
    EXPECT_FALSE(files.publish("report\n"));
    EXPECT_FALSE(exists(files.temporary));
}

} // namespace
