// SPDX-License-Identifier: BSD-2-Clause
#include "process_probe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

// Room for the text of one stat or status file.
constexpr size_t proc_text_size = 4096;
// Room for one path under /proc.
constexpr size_t proc_path_size = 96;

bool stat_cpu_ticks(const char *stat_text, uint64_t *ticks)
{
    const char *close = strrchr(stat_text, ')');
    if (close == nullptr)
        return false;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    const char *at = close + 1;
    for (int field = 3; field < 14; field++) {
        at = strchr(at + 1, ' ');
        if (at == nullptr)
            return false;
    }
    char *end;
    unsigned long long utime = strtoull(at + 1, &end, 10);
    if (end == at + 1 || *end != ' ')
        return false;
    const char *stime_text = end + 1;
    unsigned long long stime = strtoull(stime_text, &end, 10);
    if (end == stime_text)
        return false;
    *ticks = utime + stime;
    return true;
}

long status_number(const char *status_text, const char *key)
{
    size_t key_length = strlen(key);
    for (const char *line = status_text; line != nullptr && *line != '\0';) {
        if (strncmp(line, key, key_length) == 0)
            return strtol(line + key_length, nullptr, 10);
        line = strchr(line, '\n');
        if (line != nullptr)
            line++;
    }
    return -1;
}

static bool read_text(const char *path, char *text)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t got = read(fd, text, proc_text_size - 1);
    close(fd);
    if (got <= 0)
        return false;
    text[got] = '\0';
    return true;
}

// Context switches of the living threads; a thread that has ended takes its
// count with it, which is why runs keep their clients to the end.
static uint64_t count_context_switches(pid_t pid)
{
    char path[proc_path_size];
    snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
    DIR *tasks = opendir(path);
    if (tasks == nullptr)
        return 0;
    uint64_t total = 0;
    char text[proc_text_size];
    while (dirent *task = readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        snprintf(path, sizeof path, "/proc/%d/task/%.16s/status", static_cast<int>(pid), task->d_name);
        if (!read_text(path, text))
            continue; // it ended while we looked
        long voluntary = status_number(text, "voluntary_ctxt_switches:");
        long involuntary = status_number(text, "nonvoluntary_ctxt_switches:");
        total += static_cast<uint64_t>(voluntary > 0 ? voluntary : 0) +
                 static_cast<uint64_t>(involuntary > 0 ? involuntary : 0);
    }
    closedir(tasks);
    return total;
}

bool sample_process(pid_t pid, process_sample *sample)
{
    char path[proc_path_size];
    char text[proc_text_size];
    uint64_t ticks;
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    if (!read_text(path, text) || !stat_cpu_ticks(text, &ticks))
        return false;
    sample->cpu_seconds = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    if (!read_text(path, text))
        return false;
    sample->threads = status_number(text, "Threads:");
    sample->peak_rss_kb = status_number(text, "VmHWM:");
    sample->rss_kb = status_number(text, "VmRSS:");
    sample->context_switches = count_context_switches(pid);
    return true;
}
