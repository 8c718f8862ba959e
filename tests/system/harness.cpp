// SPDX-License-Identifier: BSD-2-Clause
// The daemon, the sockets, the receiver, /proc and the tools, as the tests
// of the real daemon use them (see harness.h).
#include "harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "process_probe.h"

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

long soak_scale()
{
    const char *scale = getenv("GPSFANOUT_SOAK_SCALE");
    long value = scale ? atol(scale) : 1;
    return value > 0 ? value : 1;
}

bool eventually(const std::function<bool()> &condition, int timeout_ms)
{
    for (long long deadline = now_ms() + timeout_ms; now_ms() < deadline; usleep(5 * 1000))
        if (condition())
            return true;
    return condition();
}

// --- The daemon ---

std::string daemon_path()
{
    const char *other = getenv("GPSFANOUT_DAEMON");
    return other != nullptr && *other != '\0' ? other : GPSFANOUT_BINARY;
}

static void reader_loop(daemon_process *d)
{
    int out = d->out_fd, err = d->err_fd;
    char buffer[4096];
    while (out >= 0 || err >= 0) {
        pollfd watch[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        if (poll(watch, 2, 200) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (watch[i].fd < 0 || watch[i].revents == 0)
                continue;
            ssize_t got = read(watch[i].fd, buffer, sizeof buffer);
            std::lock_guard<std::mutex> hold(d->lock);
            if (got > 0) {
                (i == 0 ? d->out : d->err).append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                // EOF on the pipe, or EIO once the pty slave is closed.
                (i == 0 ? out : err) = -1;
            }
            d->changed.notify_all();
        }
        std::lock_guard<std::mutex> hold(d->lock);
        if (d->exited && out < 0 && err < 0)
            break;
    }
    std::lock_guard<std::mutex> hold(d->lock);
    d->changed.notify_all();
}

// This process's environment with the entries of `extra` added or put in place.
static std::vector<std::string> environment_with(const std::vector<std::string> &extra)
{
    std::vector<std::string> entries(extra);
    for (char **entry = environ; *entry != nullptr; entry++) {
        std::string name(*entry, strcspn(*entry, "=") + 1);
        if (std::none_of(extra.begin(), extra.end(), [&](auto &added) { return added.rfind(name, 0) == 0; }))
            entries.push_back(*entry);
    }
    return entries;
}

static std::vector<char *> pointers(std::vector<std::string> &words)
{
    std::vector<char *> list;
    for (auto &word : words)
        list.push_back(&word[0]);
    list.push_back(nullptr);
    return list;
}

// Starts `command`, stdout as the options say (or a pipe when `piped`) and
// stderr into a pipe; a thread collects what both say.
static std::unique_ptr<daemon_process> start_process(std::vector<std::string> command,
                                                     const daemon_options &options, bool piped = false)
{
    bool quiet = options.quiet || options.stdout_fd >= 0;
    auto d = std::make_unique<daemon_process>();
    std::vector<std::string> environment = environment_with(options.environment);
    std::vector<char *> argv = pointers(command), envp = pointers(environment);
    int out_pipe[2], err_pipe[2], slave = -1;
    if (piped) {
        if (pipe2(out_pipe, O_CLOEXEC) != 0)
            return nullptr;
        d->out_fd = out_pipe[0];
        slave = out_pipe[1];
    } else if (!quiet) {
        d->out_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (d->out_fd < 0 || grantpt(d->out_fd) != 0 || unlockpt(d->out_fd) != 0)
            return nullptr;
        slave = open(ptsname(d->out_fd), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw;
        tcgetattr(slave, &raw);
        cfmakeraw(&raw); // the bytes the daemon prints, unchanged
        tcsetattr(slave, TCSANOW, &raw);
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0)
        return nullptr;
    d->err_fd = err_pipe[0];

    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(options.stdout_fd >= 0 ? options.stdout_fd : slave >= 0 ? slave : null, 1);
        dup2(options.stderr_fd >= 0 ? options.stderr_fd : err_pipe[1], 2);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(err_pipe[1]);
    if (slave >= 0)
        close(slave);
    d->pid = pid;
    d->reader = std::thread(reader_loop, d.get());
    return d;
}

// The daemon with these arguments, after `command`: through GPSFANOUT_DAEMON_PREFIX
// when set, a command (split on blanks) such as an emulator.
static std::vector<std::string> daemon_command(const std::vector<std::string> &args,
                                               std::vector<std::string> command = {},
                                               const std::string &program = daemon_path())
{
    if (const char *prefix = getenv("GPSFANOUT_DAEMON_PREFIX")) {
        std::istringstream words(prefix);
        for (std::string word; words >> word;)
            command.push_back(word);
    }
    command.push_back(program);
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

static bool wait_text(daemon_process &d, std::string daemon_process::*stream,
                      const std::function<bool(const std::string &)> &found, int timeout_ms)
{
    std::unique_lock<std::mutex> hold(d.lock);
    return d.changed.wait_for(hold, std::chrono::milliseconds(timeout_ms), [&] { return found(d.*stream); });
}

bool wait_stdout(daemon_process &d, const std::string &needle, int timeout_ms, size_t from)
{
    return wait_text(
        d, &daemon_process::out,
        [&](const std::string &text) { return text.size() >= from && text.find(needle, from) != std::string::npos; },
        timeout_ms);
}

bool wait_stderr(daemon_process &d, const std::string &needle, int timeout_ms)
{
    return wait_text(
        d, &daemon_process::err, [&](const std::string &text) { return text.find(needle) != std::string::npos; },
        timeout_ms);
}

std::string stdout_of(daemon_process &d)
{
    std::lock_guard<std::mutex> hold(d.lock);
    return d.out;
}

std::string stderr_of(daemon_process &d)
{
    std::lock_guard<std::mutex> hold(d.lock);
    return d.err;
}

int reported_fd(daemon_process &d, const std::string &prefix, size_t from)
{
    size_t at = std::string::npos;
    auto whole_line = [&](const std::string &text) {
        at = text.size() >= from ? text.find(prefix, from) : std::string::npos;
        return at != std::string::npos && text.find('\n', at) != std::string::npos;
    };
    if (!wait_text(d, &daemon_process::out, whole_line, patience_ms))
        return -2;
    return atoi(stdout_of(d).c_str() + at + prefix.size());
}

int wait_exit(daemon_process &d, int timeout_ms)
{
    bool ended = eventually(
        [&] {
            int status;
            if (d.exited || waitpid(d.pid, &status, WNOHANG) != d.pid)
                return d.exited;
            std::lock_guard<std::mutex> hold(d.lock);
            d.exited = true;
            d.status = status;
            return true;
        },
        timeout_ms);
    return ended ? d.status : -1;
}

bool running(daemon_process &d)
{
    int status;
    return waitpid(d.pid, &status, WNOHANG) == 0;
}

bool stop_all_threads(daemon_process &d)
{
    int status;
    return kill(d.pid, SIGSTOP) == 0 && waitpid(d.pid, &status, WUNTRACED) == d.pid && WIFSTOPPED(status);
}

// Kills every child of this test, detached daemons included (it is their subreaper).
static void kill_children()
{
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return;
    while (dirent *entry = readdir(proc)) {
        pid_t pid = atoi(entry->d_name);
        if (pid > 0 && status_value(pid, "PPid:") == getpid()) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    closedir(proc);
}

// Joins the thread that collects what the process says, once it has ended.
static void collected(daemon_process &d)
{
    if (d.reader.joinable())
        d.reader.join();
    for (int *fd : {&d.out_fd, &d.err_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

// Ends the process if it still runs.
static void end_process(daemon_process &d)
{
    if (d.pid > 0 && !d.exited) {
        kill(d.pid, SIGKILL);
        int status;
        waitpid(d.pid, &status, 0);
        std::lock_guard<std::mutex> hold(d.lock);
        d.exited = true;
        d.status = status;
    }
}

void stop_daemon(daemon_process &d)
{
    end_process(d);
    // A daemon that detached may hold the pipes the reader waits on.
    kill_children();
    collected(d);
}

daemon_process::~daemon_process()
{
    end_process(*this);
    collected(*this);
}

// --- Sockets ---

sockaddr_in loopback(int port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

udp_sender::udp_sender(int port) : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), to(loopback(port)) {}

udp_sender::~udp_sender()
{
    close(fd);
}

bool udp_sender::send(const std::string &data)
{
    return sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
           static_cast<ssize_t>(data.size());
}

void send_udp(const std::string &data, int port)
{
    udp_sender(port).send(data);
}

std::string as_sent(const std::string &relayed)
{
    return relayed.substr(0, relayed.size() - 1) + "\r\n";
}

bool catch_datagram(int fd, std::string *data, std::string *destination, int timeout_ms)
{
    pollfd watch = {fd, POLLIN, 0};
    if (poll(&watch, 1, timeout_ms) <= 0)
        return false;
    static char buffer[65536];
    char control[256];
    iovec part = {buffer, sizeof buffer};
    msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = recvmsg(fd, &message, 0);
    if (got < 0)
        return false;
    data->assign(buffer, static_cast<size_t>(got));
    destination->clear();
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            memcpy(&info, CMSG_DATA(c), sizeof info);
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &info.ipi_addr, text, sizeof text);
            *destination = text;
        }
    }
    return true;
}

int occupy_port(int type, int port)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    int on = 1; // a listener may take a port that closed connections wait on
    if (type == SOCK_STREAM)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopback(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && listen(fd, 5) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

int connect_tcp(int port, int receive_buffer)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connect_when_listening(int port, int receive_buffer, int timeout_ms)
{
    int fd = -1;
    eventually([&] { return (fd = connect_tcp(port, receive_buffer)) >= 0; }, timeout_ms);
    return fd;
}

bool read_until(int fd, std::string *received, const std::string &needle, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    char buffer[65536];
    while (received->find(needle) == std::string::npos) {
        long long left = deadline - now_ms();
        if (left <= 0)
            return false;
        pollfd watch = {fd, POLLIN, 0};
        if (poll(&watch, 1, static_cast<int>(left)) <= 0)
            continue;
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        received->append(buffer, static_cast<size_t>(got));
    }
    return true;
}

std::vector<std::string> lines_of(const std::string &stream)
{
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < stream.size(); start = end) {
        end = stream.find('\n', start);
        end = end == std::string::npos ? stream.size() : end + 1;
        lines.push_back(stream.substr(start, end - start));
    }
    return lines;
}

bool is_join_line(const std::string &line)
{
    return line.compare(0, 12, "$GPTXT,join,") == 0;
}

bool join(int client, std::string *stream, int timeout_ms)
{
    // The listener may not have taken the connection yet when a line is
    // relayed; wait briefly at first, then longer.
    static int attempt = 0;
    int wait_ms = 20;
    return client >= 0 && eventually(
                              [&] {
                                  std::string line = "$GPTXT,join," + std::to_string(attempt++) + "*00\n", seen;
                                  send_udp(as_sent(line));
                                  bool arrived = read_until(client, &seen, line, wait_ms);
                                  if (stream != nullptr)
                                      stream->append(seen);
                                  wait_ms = std::min(wait_ms * 2, 400);
                                  return arrived;
                              },
                              timeout_ms);
}

bool relay_to(int client, std::string *pending, const std::string &text)
{
    send_udp(as_sent(text));
    return read_until(client, pending, text);
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

std::vector<tcp_socket_row> tcp_sockets()
{
    std::vector<tcp_socket_row> rows;
    // A dual-stack socket, and what it accepts, shows in the IPv6 table alone.
    std::string table, ipv6;
    read_file("/proc/net/tcp", &table);
    if (read_file("/proc/net/tcp6", &ipv6))
        table += ipv6;
    std::istringstream lines(table);
    long ticks_per_second = sysconf(_SC_CLK_TCK);
    for (std::string line; std::getline(lines, line);) {
        unsigned local_port, remote_port, state, timer, unread;
        unsigned long long ticks;
        // "sl: local_address rem_address st tx_queue:rx_queue tr:tm->when ..."
        if (sscanf(line.c_str(), " %*u: %*x:%x %*x:%x %x %*x:%x %x:%llx", &local_port, &remote_port, &state,
                   &unread, &timer, &ticks) != 6)
            continue; // the heading
        rows.push_back({static_cast<int>(local_port), static_cast<int>(remote_port), static_cast<int>(state),
                        static_cast<int>(timer), static_cast<long long>(ticks) * 1000 / ticks_per_second,
                        static_cast<long>(unread)});
    }
    return rows;
}

bool listening_on(int port, int timeout_ms)
{
    return eventually(
        [&] {
            for (const tcp_socket_row &row : tcp_sockets())
                if (row.local_port == port && row.state == 10)
                    return true;
            return false;
        },
        timeout_ms);
}

long net_counter(const char *file, const char *group, const char *name)
{
    // Pairs of lines: "Group: names..." then "Group: values...".
    std::string text;
    read_file(file, &text);
    std::istringstream lines(text);
    std::string names, values, prefix = std::string(group) + ":";
    while (std::getline(lines, names) && std::getline(lines, values)) {
        std::istringstream each_name(names), each_value(values);
        std::string n, v;
        while (names.compare(0, prefix.size(), prefix) == 0 && each_name >> n && each_value >> v)
            if (n == name)
                return atol(v.c_str());
    }
    return -1;
}

// --- The receiver ---

bool plug_receiver(const std::string &path, fake_receiver *r)
{
    unplug_receiver(r);
    r->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (r->master < 0 || grantpt(r->master) != 0 || unlockpt(r->master) != 0)
        return false;
    r->slave = ptsname(r->master);
    r->path = path;
    unlink(path.c_str());
    return symlink(r->slave.c_str(), path.c_str()) == 0;
}

void unplug_receiver(fake_receiver *r)
{
    if (!r->path.empty())
        unlink(r->path.c_str());
    r->path.clear();
    if (r->master >= 0)
        close(r->master);
    r->master = -1;
}

fake_receiver::~fake_receiver()
{
    unplug_receiver(this);
}

bool emit(fake_receiver &r, const std::string &text)
{
    return write(r.master, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

receiver_watch::receiver_watch(fake_receiver &r, int bytes_per_s) : started_ms(now_ms())
{
    reader = std::thread([this, master = r.master, bytes_per_s] {
        std::string partial;
        double allowed = 0;
        char buffer[4096];
        for (long long last = now_ms(), now; !stopping; last = now) {
            pollfd watch = {master, POLLIN, 0};
            poll(&watch, 1, bytes_per_s > 0 ? 10 : 50);
            now = now_ms();
            allowed = std::min(bytes_per_s / 10.0, allowed + (now - last) * bytes_per_s / 1000.0);
            if (watch.revents == 0 || (bytes_per_s > 0 && allowed < 1))
                continue;
            ssize_t got = read(master, buffer, bytes_per_s > 0 ? static_cast<size_t>(allowed) : sizeof buffer);
            if (got <= 0)
                break;
            allowed -= static_cast<double>(got);
            std::lock_guard<std::mutex> hold(lock);
            bytes.append(buffer, static_cast<size_t>(got));
            for (ssize_t k = 0; k < got; k++) {
                if (partial.empty())
                    starts.push_back(now_ms());
                partial += buffer[k];
                if (buffer[k] == '\n') {
                    lines.emplace_back(partial, now_ms());
                    partial.clear();
                }
            }
        }
    });
}

std::string receiver_watch::seen()
{
    std::lock_guard<std::mutex> hold(lock);
    return bytes;
}

long long receiver_watch::last_ms()
{
    std::lock_guard<std::mutex> hold(lock);
    return lines.empty() ? started_ms : lines.back().second;
}

void receiver_watch::stop()
{
    stopping = true;
    if (reader.joinable())
        reader.join();
}

std::string on_the_line(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

// --- Files, /proc and the project's tools ---

void expect_example_reports(uid_t owner)
{
    EXPECT_TRUE(file_holds("/tmp/nmea.status", example_status));
    EXPECT_TRUE(file_holds("/tmp/sbd10.status", example_record));
    for (const char *path : {"/tmp/nmea.status", "/tmp/sbd10.status"}) {
        struct stat info;
        ASSERT_EQ(lstat(path, &info), 0) << path;
        EXPECT_TRUE(S_ISREG(info.st_mode)) << path;
        EXPECT_EQ(info.st_uid, owner) << path;
        EXPECT_EQ(info.st_mode & 07777, 0644u) << path;
    }
}

std::string report_names()
{
    std::vector<std::string> names;
    if (DIR *tmp = opendir("/tmp")) {
        while (dirent *entry = readdir(tmp))
            if (strncmp(entry->d_name, "nmea.", 5) == 0 || strncmp(entry->d_name, "sbd10.", 6) == 0)
                names.push_back(entry->d_name);
        closedir(tmp);
    }
    std::sort(names.begin(), names.end());
    std::string joined;
    for (auto &name : names)
        joined += name + " ";
    return joined;
}

daemon_copy::daemon_copy()
{
    char made[] = "/tmp/daemon.XXXXXX";
    std::string binary;
    if (mkdtemp(made) == nullptr)
        return;
    folder = made;
    std::string copy = folder + "/gpsfanout";
    if (chmod(made, 0755) == 0 && read_file(daemon_path(), &binary) && write_file(copy, binary) &&
        chmod(copy.c_str(), 0755) == 0)
        path = copy;
}

daemon_copy::~daemon_copy()
{
    if (folder.empty())
        return;
    unlink((folder + "/gpsfanout").c_str());
    rmdir(folder.c_str());
}

std::string unreachable_for(uid_t uid, gid_t gid, const std::string &program)
{
    pid_t pid = fork();
    if (pid == 0) // as that user, without supplementary groups
        _exit(setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0 &&
                      access(program.c_str(), X_OK) == 0
                  ? 0
                  : 1);
    int status;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return "";
    return "user " + std::to_string(uid) + " cannot run " + program;
}

bool read_file(const std::string &path, std::string *content)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    content->clear();
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        content->append(buffer, static_cast<size_t>(got));
    close(fd);
    return got == 0;
}

bool write_file(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

bool file_holds(const std::string &path, const std::string &expected, int timeout_ms)
{
    std::string content;
    return eventually([&] { return read_file(path, &content) && content == expected; }, timeout_ms);
}

std::string sample_lines(int count)
{
    std::string text;
    read_file(std::string(GPSFANOUT_SOURCE_DIR) + "/samples/trip.nmea", &text);
    size_t end = 0;
    for (int i = 0; i < count && end != std::string::npos; i++) {
        end = text.find("\r\n", end);
        if (end != std::string::npos)
            end += 2;
    }
    return text.substr(0, end);
}

// The descriptor numbers the process has open; empty when it is gone.
static std::vector<int> open_fds(pid_t pid)
{
    std::vector<int> fds;
    if (DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                fds.push_back(atoi(entry->d_name));
        closedir(dir);
    }
    return fds;
}

int count_fds(pid_t pid)
{
    return static_cast<int>(open_fds(pid).size());
}

int free_fd(pid_t pid, int nth)
{
    std::vector<int> used = open_fds(pid);
    for (int fd = 0;; fd++)
        if (std::find(used.begin(), used.end(), fd) == used.end() && nth-- == 0)
            return fd;
}

long status_value(pid_t pid, const char *key)
{
    std::string status;
    if (!read_file("/proc/" + std::to_string(pid) + "/status", &status))
        return -1;
    return status_number(status.c_str(), key);
}

int count_threads(pid_t pid)
{
    long threads = status_value(pid, "Threads:");
    // An emulator that runs the daemon has threads of its own in the process.
    const char *own = getenv("GPSFANOUT_EMULATOR_THREADS");
    return static_cast<int>(threads < 0 || own == nullptr ? threads : threads - atoi(own));
}

double cpu_seconds(pid_t pid)
{
    process_sample sample;
    return sample_process(pid, &sample) ? sample.cpu_seconds : -1;
}

double cpu_used_over(pid_t pid, double seconds)
{
    double before = cpu_seconds(pid);
    usleep(static_cast<useconds_t>(seconds * 1e6));
    return cpu_seconds(pid) - before;
}

int thread_stacks(pid_t pid)
{
    std::string maps;
    if (!read_file("/proc/" + std::to_string(pid) + "/maps", &maps))
        return -1;
    std::istringstream lines(maps);
    unsigned long long guard_end = 0;
    int stacks = 0;
    for (std::string line; std::getline(lines, line);) {
        unsigned long long start, end, offset, inode;
        char mode[8];
        unsigned device_major, device_minor;
        if (sscanf(line.c_str(), "%llx-%llx %7s %llx %x:%x %llu", &start, &end, mode, &offset, &device_major,
                   &device_minor, &inode) != 7)
            continue;
        bool anonymous = inode == 0 && line.find_first_of("/[") == std::string::npos;
        if (anonymous && strcmp(mode, "rw-p") == 0 && start == guard_end)
            stacks++;
        bool guard = anonymous && strcmp(mode, "---p") == 0 && end - start == static_cast<unsigned>(getpagesize());
        guard_end = guard ? end : 0;
    }
    return stacks;
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

void steady_counts(pid_t pid, int *fds, int *threads)
{
    int same = 0;
    *fds = count_fds(pid);
    *threads = count_threads(pid);
    eventually([&] {
        usleep(20 * 1000);
        int fds_now = count_fds(pid), threads_now = count_threads(pid);
        same = fds_now == *fds && threads_now == *threads ? same + 1 : 0;
        *fds = fds_now;
        *threads = threads_now;
        return same >= 5;
    });
}

testing::AssertionResult counts_settle(pid_t pid, int fds, int threads, int keeper)
{
    std::string pending;
    int fds_now = -1, threads_now = -1, round = 0;
    bool settled = eventually([&] {
        fds_now = count_fds(pid);
        threads_now = count_threads(pid);
        return (fds_now == fds && threads_now == threads) ||
               !relay_to(keeper, &pending, "$GPTXT,settle," + std::to_string(round++) + "*00\n");
    });
    if (settled && fds_now == fds && threads_now == threads)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "wanted " << fds << " descriptors and " << threads
                                       << " threads; the daemon has " << fds_now << " and " << threads_now;
}

tool_run run_tool(const std::string &program, const std::vector<std::string> &args, int timeout_ms)
{
    std::vector<std::string> command = {program};
    command.insert(command.end(), args.begin(), args.end());
    if (program == daemon_path()) // through the emulator, if there is one
        command = daemon_command(args);
    tool_run run;
    auto tool = start_process(command, {}, true);
    if (tool == nullptr)
        return run;
    int status = wait_exit(*tool, timeout_ms);
    if (status != -1 && WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    end_process(*tool); // when out of time
    collected(*tool);
    run.out = tool->out;
    run.err = tool->err;
    return run;
}

// --- The fixture ---

void DaemonTest::SetUp()
{
    // Failed, never skipped: a run whose system tests could not run must not
    // read as a pass anywhere, ctest's own summary included.
    if (!sandbox_skip_reason.empty())
        GTEST_FAIL() << sandbox_skip_reason;
}

void DaemonTest::TearDown()
{
    // The clients go first, as they would in the end: theirs is the side
    // that waits out the close, not the daemon's port.
    for (int fd : owned)
        close(fd);
    owned.clear();
    if (catcher_fd >= 0)
        close(catcher_fd);
    catcher_fd = -1;
    if (d)
        stop_daemon(*d);
    d.reset();
    unplug_receiver(&gps);
}

void DaemonTest::start(const std::vector<std::string> &args, const daemon_options &options)
{
    if (d)
        stop_daemon(*d);
    d = start_process(daemon_command(args, options.run_through,
                                     options.program.empty() ? daemon_path() : options.program),
                      options);
    ASSERT_NE(d, nullptr) << "the daemon could not be started";
}

int DaemonTest::started(const std::vector<std::string> &args)
{
    start(args);
    return d ? reported_fd(*d, "ttyfd = ") : -2;
}

int DaemonTest::started_with_receiver(const std::vector<std::string> &args)
{
    return plug_receiver("/dev/GPS", &gps) ? started(args) : -2;
}

int DaemonTest::catcher()
{
    if (catcher_fd >= 0)
        return catcher_fd;
    // Bound to 0.0.0.0, and told each datagram's destination address.
    catcher_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1, big = 4 << 20;
    setsockopt(catcher_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(catcher_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    setsockopt(catcher_fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    sockaddr_in address = loopback(broadcast_port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(catcher_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(catcher_fd);
        catcher_fd = -1;
    }
    return catcher_fd;
}

std::string DaemonTest::broadcast(int timeout_ms)
{
    std::string data, to;
    long long deadline = now_ms() + timeout_ms;
    while (catch_datagram(catcher(), &data, &to, static_cast<int>(std::max(0LL, deadline - now_ms()))))
        if (to == veth_broadcast && !is_join_line(data))
            return data;
    return "";
}

int DaemonTest::client(std::string *stream, int receive_buffer, int timeout_ms)
{
    int fd = own(connect_when_listening(tcp_port, receive_buffer, timeout_ms));
    return join(fd, stream, timeout_ms) ? fd : -1;
}

void DaemonTest::leave(int client)
{
    owned.erase(std::remove(owned.begin(), owned.end(), client), owned.end());
    close(client);
}

int DaemonTest::own(int fd)
{
    if (fd >= 0)
        owned.push_back(fd);
    return fd;
}

bool DaemonTest::relay(const std::string &text)
{
    size_t from = stdout_of(*d).size();
    send_udp(as_sent(text));
    return wait_stdout(*d, text, patience_ms, from);
}

std::string value_of(const std::string &line, const std::string &key)
{
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return "";
    at += key.size() + 2;
    return line.substr(at, line.find_first_of(" \n", at) - at);
}

std::string nth(const std::vector<std::string> &lines, size_t n)
{
    return n < lines.size() ? lines[n] : "";
}

std::vector<std::string> said_on_request(daemon_process &d, size_t clients, int timeout_ms)
{
    size_t from = stderr_of(d).size();
    kill(d.pid, SIGUSR1);
    std::vector<std::string> said;
    eventually([&] {
        std::string err = stderr_of(d);
        size_t start = err.find("counters: ", from);
        said = start == std::string::npos ? std::vector<std::string>() : lines_of(err.substr(start));
        return said.size() >= clients + 1 && said.back().back() == '\n';
    }, timeout_ms);
    return said;
}
