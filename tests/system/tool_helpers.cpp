#include "tool_helpers.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

// Reads whatever is waiting on `fd` into `text`; false at end of file.
static bool drain(int fd, std::string *text)
{
    char buffer[4096];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0)
        text->append(buffer, static_cast<size_t>(got));
    return got > 0 || (got < 0 && errno == EINTR);
}

tool_run run_tool(const std::string &program, const std::vector<std::string> &args, int timeout_ms)
{
    tool_run run;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        return run;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (auto &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    long long deadline = now_ms() + timeout_ms;
    int open_count = 2;
    pollfd watch[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    while (open_count > 0 && now_ms() < deadline) {
        if (poll(watch, 2, static_cast<int>(deadline - now_ms())) <= 0)
            continue;
        for (int i = 0; i < 2; i++) {
            if (watch[i].fd >= 0 && watch[i].revents != 0 && !drain(watch[i].fd, i == 0 ? &run.out : &run.err)) {
                close(watch[i].fd);
                watch[i].fd = -1;
                open_count--;
            }
        }
    }
    for (auto &w : watch)
        if (w.fd >= 0)
            close(w.fd);
    int status;
    if (open_count > 0)
        kill(pid, SIGKILL); // out of time
    waitpid(pid, &status, 0);
    if (open_count == 0 && WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    return run;
}

bool wait_for_file(const std::string &path, long size, std::string *contents, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    do {
        std::ifstream file(path, std::ios::binary);
        if (file) {
            contents->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
            if (size < 0 || static_cast<long>(contents->size()) == size)
                return true;
        }
        usleep(20 * 1000);
    } while (now_ms() < deadline);
    return false;
}

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
    return static_cast<bool>(file.flush());
}

std::string sample_lines(int count)
{
    std::ifstream file(std::string(GPSFANOUT_SOURCE_DIR) + "/samples/trip.nmea", std::ios::binary);
    std::string text(std::istreambuf_iterator<char>(file), {});
    size_t end = 0;
    for (int i = 0; i < count && end != std::string::npos; i++) {
        end = text.find("\r\n", end);
        if (end != std::string::npos)
            end += 2;
    }
    return text.substr(0, end);
}
