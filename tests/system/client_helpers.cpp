#include "client_helpers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>


int connect_small_window(int port, int receive_buffer)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool is_join_line(const std::string &line)
{
    return line.compare(0, 12, "$GPTXT,join,") == 0;
}

bool join_relay(int client, std::string *stream, int timeout_ms)
{
    // The listener may not have taken the connection yet when a line is
    // relayed; wait briefly at first, then longer.
    long long deadline = now_ms() + timeout_ms;
    int wait_ms = 20;
    static int attempt = 0;
    while (now_ms() < deadline) {
        std::string line = "$GPTXT,join," + std::to_string(attempt++) + "*00\n";
        send_udp(udp_in_port, line);
        std::string seen;
        bool arrived = read_until(client, &seen, line, wait_ms);
        stream->append(seen);
        if (arrived)
            return true;
        if (wait_ms < 400)
            wait_ms *= 2;
    }
    return false;
}

bool next_line(int fd, std::string *pending, std::string *line, int timeout_ms)
{
    if (!read_until(fd, pending, "\n", timeout_ms))
        return false;
    size_t end = pending->find('\n');
    line->assign(*pending, 0, end + 1);
    pending->erase(0, end + 1);
    return true;
}

std::vector<std::string> lines_of(const std::string &stream)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < stream.size()) {
        size_t end = stream.find('\n', start);
        end = end == std::string::npos ? stream.size() : end + 1;
        lines.push_back(stream.substr(start, end - start));
        start = end;
    }
    return lines;
}

bool relay_to(int client, std::string *pending, const std::string &line_without_end)
{
    send_udp(udp_in_port, line_without_end + "\r\n");
    return read_until(client, pending, line_without_end + "\n");
}

bool closed_by_daemon(int fd, std::string *received, int timeout_ms)
{
    // Nothing relayed holds a NUL, so this reads until the stream ends, fails
    // or the time is up; only a closed connection then reads as ended.
    read_until(fd, received, std::string(1, '\0'), timeout_ms);
    char byte;
    ssize_t got = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got < 0 && (errno == ECONNRESET || errno == ENOTCONN));
}

void abort_connection(int fd)
{
    linger at_once = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
    close(fd);
}

void steady_counts(pid_t pid, int *fds, int *threads)
{
    long long deadline = now_ms() + patience_ms;
    int same = 0;
    *fds = count_fds(pid);
    *threads = count_threads(pid);
    while (same < 5 && now_ms() < deadline) {
        usleep(20 * 1000);
        int fds_now = count_fds(pid), threads_now = count_threads(pid);
        same = fds_now == *fds && threads_now == *threads ? same + 1 : 0;
        *fds = fds_now;
        *threads = threads_now;
    }
}

testing::AssertionResult counts_settle(pid_t pid, int fds, int threads, int keeper)
{
    std::string pending;
    long long deadline = now_ms() + patience_ms;
    for (int round = 0;; round++) {
        int fds_now = count_fds(pid), threads_now = count_threads(pid);
        if (fds_now == fds && threads_now == threads)
            return testing::AssertionSuccess();
        if (now_ms() > deadline || !relay_to(keeper, &pending, "$GPTXT,settle," + std::to_string(round) + "*00"))
            return testing::AssertionFailure() << "wanted " << fds << " descriptors and " << threads
                                               << " threads; the daemon has " << fds_now << " and " << threads_now;
        usleep(5 * 1000);
    }
}

double cpu_seconds(pid_t pid)
{
    char path[64], text[1024] = {0};
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    const char *after_name = got > 0 ? strrchr(text, ')') : nullptr;
    unsigned long user = 0, system = 0;
    // Fields 14 and 15 of the stat line; the name (field 2) ends at the last ')'.
    if (after_name == nullptr ||
        sscanf(after_name + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
        return -1;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double cpu_used_over(pid_t pid, double seconds)
{
    double before = cpu_seconds(pid);
    usleep(static_cast<useconds_t>(seconds * 1e6));
    return cpu_seconds(pid) - before;
}

long long address_space(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE *status = fopen(path.c_str(), "r");
    if (status == nullptr)
        return -1;
    char line[256];
    long long kilobytes = -1;
    while (fgets(line, sizeof line, status) != nullptr)
        if (sscanf(line, "VmSize: %lld kB", &kilobytes) == 1)
            break;
    fclose(status);
    return kilobytes * 1024;
}

int thread_stacks(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/maps";
    FILE *maps = fopen(path.c_str(), "r");
    if (maps == nullptr)
        return -1;
    char line[512];
    unsigned long long guard_end = 0;
    int stacks = 0;
    while (fgets(line, sizeof line, maps) != nullptr) {
        unsigned long long start, end;
        char mode[8];
        unsigned long long offset;
        unsigned inode_major, inode_minor;
        unsigned long long inode;
        if (sscanf(line, "%llx-%llx %7s %llx %x:%x %llu", &start, &end, mode, &offset, &inode_major, &inode_minor,
                   &inode) != 7)
            continue;
        bool anonymous = inode == 0 && strchr(line, '/') == nullptr && strchr(line, '[') == nullptr;
        if (anonymous && strcmp(mode, "rw-p") == 0 && start == guard_end)
            stacks++;
        guard_end = anonymous && strcmp(mode, "---p") == 0 && end - start == static_cast<unsigned long long>(getpagesize())
                        ? end
                        : 0;
    }
    fclose(maps);
    return stacks;
}

int free_fd(pid_t pid, int nth)
{
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return -1;
    std::vector<bool> used;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        size_t fd = static_cast<size_t>(atoi(entry->d_name));
        if (fd >= used.size())
            used.resize(fd + 1);
        used[fd] = true;
    }
    closedir(dir);
    for (size_t fd = 0;; fd++)
        if ((fd >= used.size() || !used[fd]) && nth-- == 0)
            return static_cast<int>(fd);
}

bool limit_fds(pid_t pid, int limit)
{
    // The hard limit stays, so that the soft one can be raised again without
    // privileges beyond those of the daemon's owner.
    rlimit now;
    if (prlimit(pid, RLIMIT_NOFILE, nullptr, &now) != 0)
        return false;
    now.rlim_cur = static_cast<rlim_t>(limit);
    return prlimit(pid, RLIMIT_NOFILE, &now, nullptr) == 0;
}

bool write_sysctl(const std::string &path, const std::string &value)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool written = write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    close(fd);
    return written;
}

std::vector<tcp_socket_row> tcp_sockets()
{
    std::vector<tcp_socket_row> rows;
    FILE *table = fopen("/proc/net/tcp", "r");
    if (table == nullptr)
        return rows;
    char line[512];
    long ticks_per_second = sysconf(_SC_CLK_TCK);
    while (fgets(line, sizeof line, table) != nullptr) {
        tcp_socket_row row;
        unsigned local_port, remote_port, state, timer;
        unsigned long long ticks;
        // "sl: local_address rem_address st tx_queue:rx_queue tr:tm->when ..."
        if (sscanf(line, " %*u: %*x:%x %*x:%x %x %*x:%*x %x:%llx", &local_port, &remote_port, &state, &timer,
                   &ticks) != 5)
            continue; // the heading
        row.local_port = static_cast<int>(local_port);
        row.remote_port = static_cast<int>(remote_port);
        row.state = static_cast<int>(state);
        row.timer = static_cast<int>(timer);
        row.timer_ms = static_cast<long long>(ticks) * 1000 / ticks_per_second;
        rows.push_back(row);
    }
    fclose(table);
    return rows;
}

bool listening_on(int port, int timeout_ms)
{
    for (long long deadline = now_ms() + timeout_ms; now_ms() < deadline; usleep(10 * 1000))
        for (const tcp_socket_row &row : tcp_sockets())
            if (row.local_port == port && row.state == 10)
                return true;
    return false;
}

long tcp_ext_counter(const std::string &name)
{
    // Pairs of lines: "TcpExt: names..." then "TcpExt: values...".
    FILE *f = fopen("/proc/net/netstat", "r");
    if (f == nullptr)
        return -1;
    char names[4096], values[4096];
    long result = -1;
    while (result < 0 && fgets(names, sizeof names, f) != nullptr && fgets(values, sizeof values, f) != nullptr) {
        if (strncmp(names, "TcpExt:", 7) != 0)
            continue;
        char *name_save, *value_save;
        char *each_name = strtok_r(names, " \n", &name_save);
        char *each_value = strtok_r(values, " \n", &value_save);
        for (; each_name != nullptr && each_value != nullptr; each_name = strtok_r(nullptr, " \n", &name_save),
                                                            each_value = strtok_r(nullptr, " \n", &value_save))
            if (name == each_name)
                result = atol(each_value);
    }
    fclose(f);
    return result;
}
