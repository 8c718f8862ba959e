// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/resource.h>
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

// A report directory, and a file of someone else's in it that no report may ever be written through.
struct report_files {
    scratch_directory scratch;
    std::string path = scratch.at("nmea.status"), temporary = path + ".tmp", victim = scratch.at("victim");
    int publish(const std::string &content) // 0 when published, else the reason
    {
        return publish_report(path.c_str(), temporary.c_str(), content.data(), content.size());
    }
};

int full_directory(report_files &f)
{
    f.victim = f.temporary + "/inside";
    return mkdir(f.temporary.c_str(), 0755) == 0 && write_whole(f.victim, "precious\n") ? 0 : -1;
}

int directory_at_report(report_files &f)
{
    return unlink(f.path.c_str()) == 0 ? mkdir(f.path.c_str(), 0755) : -1;
}

TEST(ReportFile, NothingPlantedStopsAReportOrIsWrittenThrough)
{
    const std::string report("the report\0with a NUL\n", 22);
    const names alone = {"nmea.status", "victim"}, beside_temporary = {"nmea.status", "nmea.status.tmp", "victim"};
    // Each row: what stands at the temporary name (or the report's), 0 if the report is published or why
    // not, and the names left (no temporary name of the daemon's own among them).
    const struct { const char *what; int (*plant)(report_files &); int published; names left; } rows[] = {
        {"nothing", [](report_files &) { return 0; }, 0, alone},
        {"a stale file longer than the report",
         [](report_files &f) { return write_whole(f.temporary, std::string(300, 's')) ? 0 : -1; }, 0, alone},
        // Opening a FIFO to write would block: it is removed, never opened.
        {"a FIFO", [](report_files &f) { return mkfifo(f.temporary.c_str(), 0666); }, 0, alone},
        {"an empty directory", [](report_files &f) { return mkdir(f.temporary.c_str(), 0755); }, 0, alone},
        {"a link to another's file", [](report_files &f) { return symlink(f.victim.c_str(), f.temporary.c_str()); }, 0,
         alone},
        {"a dangling link, whose target must not be made",
         [](report_files &f) { return symlink(f.scratch.at("target").c_str(), f.temporary.c_str()); }, 0, alone},
        // What someone keeps in a directory is never thrown away: a fresh name is used instead.
        {"a directory with another's file in it", full_directory, 0, beside_temporary},
        // The name is cleared, and linked again before the daemon can create it.
        {"a hard link to another's file, made again after each unlink",
         [](report_files &f) {
             after_unlink = [&f](const char *path) {
                 if (path == f.temporary)
                     link(f.victim.c_str(), path);
             };
             return link(f.victim.c_str(), f.temporary.c_str());
         },
         0, beside_temporary},
        {"a directory at the report's name", directory_at_report, EISDIR, alone},
        {"a directory with another's file in it, and one at the report's name",
         [](report_files &f) { return directory_at_report(f) == 0 ? full_directory(f) : -1; }, EISDIR,
         beside_temporary},
    };
    mode_t saved = umask(022); // the daemon's
    for (auto &row : rows) {
        report_files f;
        ASSERT_EQ(f.publish(std::string(100, 'e')), 0); // longer than the next
        ASSERT_TRUE(write_whole(f.victim, "precious\n"));
        ASSERT_EQ(row.plant(f), 0) << row.what;
        EXPECT_EQ(f.publish(report), row.published) << row.what;
        after_unlink = nullptr;
        EXPECT_EQ(read_whole(f.victim), "precious\n") << row.what;
        EXPECT_EQ(f.scratch.listing(), row.left) << row.what;
        struct stat info = {};
        lstat(f.path.c_str(), &info);
        EXPECT_EQ(info.st_mode & (S_IFMT | 07777), row.published == 0 ? S_IFREG | 0644u : S_IFDIR | 0755u) << row.what;
        if (row.published == 0) {
            EXPECT_EQ(read_whole(f.path), report) << row.what;
        }
    }
    umask(saved);
}

TEST(ReportFile, AShortWriteNeverReplacesAGoodReport)
{
    report_files f;
    ASSERT_EQ(f.publish("good\n"), 0);
    // A file size limit stops the write short, as a full disk does.
    void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
    rlimit saved, small;
    getrlimit(RLIMIT_FSIZE, &saved);
    small = {100, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int published = f.publish(std::string(300, 'x'));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, saved_handler);
    EXPECT_EQ(published, EFBIG);
    EXPECT_EQ(read_whole(f.path), "good\n");
    EXPECT_EQ(f.scratch.listing(), names{"nmea.status"});
    // Once there is room again, reports go on.
    ASSERT_EQ(f.publish(std::string(300, 'y')), 0);
    EXPECT_EQ(read_whole(f.path), std::string(300, 'y'));
}

} // namespace
