#include "sandbox.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

std::string sandbox_skip_reason = "the sandbox was not entered";

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

static bool run(const std::string &command)
{
    std::string full = "PATH=/usr/sbin:/sbin:/usr/bin:/bin:$PATH; " + command + " >/dev/null 2>&1";
    return system(full.c_str()) == 0;
}

// A device node for the private /dev: made afresh, or else bound from the
// host's node, which is still reachable through `host_dev`.
static bool make_device(const char *name, unsigned major_number, unsigned minor_number, const std::string &host_dev)
{
    std::string path = std::string("/dev/") + name;
    if (mknod(path.c_str(), S_IFCHR | 0666, makedev(major_number, minor_number)) == 0) {
        chmod(path.c_str(), 0666);
        return true;
    }
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0666);
    if (fd < 0)
        return false;
    close(fd);
    return mount((host_dev + "/" + name).c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

static std::string private_dev()
{
    // Keep a view of the host's /dev for binding nodes back.
    const std::string host_dev = "/tmp/.host-dev";
    mkdir(host_dev.c_str(), 0700);
    if (mount("/dev", host_dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return std::string("cannot bind /dev: ") + strerror(errno);
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
        return std::string("cannot mount a tmpfs on /dev: ") + strerror(errno);
    if (!make_device("null", 1, 3, host_dev) || !make_device("zero", 1, 5, host_dev) ||
        !make_device("urandom", 1, 9, host_dev) || !make_device("tty", 5, 0, host_dev))
        return "cannot make device nodes in the private /dev";
    mkdir("/dev/pts", 0755);
    if (mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") != 0)
        return std::string("cannot mount devpts: ") + strerror(errno);
    if (symlink("pts/ptmx", "/dev/ptmx") != 0)
        return "cannot link /dev/ptmx";
    umount2(host_dev.c_str(), MNT_DETACH);
    rmdir(host_dev.c_str());
    return "";
}

// The checkout may itself live under /tmp (CI clones into a fresh folder):
// keep it visible at the same path once the private /tmp covers it.
static std::vector<std::string> kept_under_tmp()
{
    std::vector<std::string> tops;
    for (std::string path : {daemon_path(), std::string(GPSFANOUT_SOURCE_DIR)}) {
        if (path.compare(0, 5, "/tmp/") != 0)
            continue;
        std::string top = path.substr(0, path.find('/', 5));
        if (std::find(tops.begin(), tops.end(), top) == tops.end())
            tops.push_back(top);
    }
    return tops;
}

void sandbox_enter()
{
    if (geteuid() != 0) {
        sandbox_skip_reason = "system tests need root, to make private network and mount namespaces";
        return;
    }
    // Daemons that detach are reparented to us, so they can be found and ended.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        sandbox_skip_reason = std::string("cannot make private namespaces: ") + strerror(errno);
        return;
    }
    std::vector<std::string> kept = kept_under_tmp();
    std::vector<int> kept_fds;
    for (auto &top : kept)
        kept_fds.push_back(open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
        sandbox_skip_reason = std::string("cannot mount a private /tmp: ") + strerror(errno);
        return;
    }
    for (size_t i = 0; i < kept.size(); i++) {
        std::string source = "/proc/self/fd/" + std::to_string(kept_fds[i]);
        mkdir(kept[i].c_str(), 0755);
        if (kept_fds[i] < 0 || mount(source.c_str(), kept[i].c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            sandbox_skip_reason = "cannot keep " + kept[i] + " visible under the private /tmp";
            return;
        }
        close(kept_fds[i]);
    }
    std::string dev = private_dev();
    if (!dev.empty()) {
        sandbox_skip_reason = dev;
        return;
    }
    if (!run("ip link set lo up") || !run("ip link add v0 type veth peer name v1") ||
        !run(std::string("ip addr add ") + veth_address + "/24 brd + dev v0") ||
        !run("ip link set v0 up") || !run("ip link set v1 up")) {
        sandbox_skip_reason = "cannot set up the veth pair (is iproute2 installed?)";
        return;
    }
    sandbox_skip_reason.clear();
}

std::string daemon_path()
{
    // Another build's daemon (a cross build run under an emulator) in place
    // of this build's.
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
                if (i == 0)
                    out = -1;
                else
                    err = -1;
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

// Starts the daemon through `command` (empty, or a program that runs it as
// another user), then GPSFANOUT_DAEMON_PREFIX.
static std::unique_ptr<daemon_process> launch(std::vector<std::string> command, const std::vector<std::string> &args,
                                              bool quiet, int stdout_fd)
{
    quiet = quiet || stdout_fd >= 0;
    auto d = std::make_unique<daemon_process>();
    if (const char *prefix = getenv("GPSFANOUT_DAEMON_PREFIX")) {
        std::istringstream words(prefix);
        for (std::string word; words >> word;)
            command.push_back(word);
    }
    command.push_back(daemon_path());
    command.insert(command.end(), args.begin(), args.end());

    int slave = -1;
    if (!quiet) {
        d->out_fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (d->out_fd < 0 || grantpt(d->out_fd) != 0 || unlockpt(d->out_fd) != 0)
            return nullptr;
        slave = open(ptsname(d->out_fd), O_RDWR | O_NOCTTY);
        termios raw;
        tcgetattr(slave, &raw);
        cfmakeraw(&raw); // the bytes the daemon prints, unchanged
        tcsetattr(slave, TCSANOW, &raw);
    }
    int err_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) != 0)
        return nullptr;
    d->err_fd = err_pipe[0];

    std::vector<char *> argv;
    for (auto &word : command)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(stdout_fd >= 0 ? stdout_fd : quiet ? null : slave, 1);
        dup2(err_pipe[1], 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(err_pipe[1]);
    if (slave >= 0)
        close(slave);
    d->pid = pid;
    d->reader = std::thread(reader_loop, d.get());
    return d;
}

std::unique_ptr<daemon_process> start_daemon(const std::vector<std::string> &args, bool quiet, int stdout_fd)
{
    return launch({}, args, quiet, stdout_fd);
}

std::unique_ptr<daemon_process> start_daemon_as(const std::string &identity, const std::vector<std::string> &args)
{
    std::vector<std::string> command = {"setpriv"};
    std::istringstream words(identity);
    for (std::string word; words >> word;)
        command.push_back(word);
    return launch(command, args, false, -1);
}

static bool wait_text(daemon_process &d, std::string daemon_process::*stream, const std::string &needle,
                      int timeout_ms, size_t from)
{
    std::unique_lock<std::mutex> hold(d.lock);
    return d.changed.wait_for(hold, std::chrono::milliseconds(timeout_ms), [&] {
        const std::string &text = d.*stream;
        return text.size() >= from && text.find(needle, from) != std::string::npos;
    });
}

bool wait_stdout(daemon_process &d, const std::string &needle, int timeout_ms, size_t from)
{
    return wait_text(d, &daemon_process::out, needle, timeout_ms, from);
}

bool wait_stderr(daemon_process &d, const std::string &needle, int timeout_ms)
{
    return wait_text(d, &daemon_process::err, needle, timeout_ms, 0);
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

int wait_exit(daemon_process &d, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    while (!d.exited) {
        int status;
        pid_t done = waitpid(d.pid, &status, WNOHANG);
        if (done == d.pid) {
            std::lock_guard<std::mutex> hold(d.lock);
            d.exited = true;
            d.status = status;
            break;
        }
        if (now_ms() > deadline)
            return -1;
        usleep(10 * 1000);
    }
    // Let the reader collect the last output.
    std::unique_lock<std::mutex> hold(d.lock);
    return d.status;
}

void kill_children()
{
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return;
    pid_t self = getpid();
    while (dirent *entry = readdir(proc)) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0)
            continue;
        char path[64], stat_text[512] = {0};
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        int fd = open(path, O_RDONLY);
        if (fd < 0)
            continue;
        ssize_t got = read(fd, stat_text, sizeof stat_text - 1);
        close(fd);
        const char *after_name = got > 0 ? strrchr(stat_text, ')') : nullptr;
        char state;
        int parent;
        if (after_name != nullptr && sscanf(after_name + 1, " %c %d", &state, &parent) == 2 && parent == self) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    closedir(proc);
}

void stop_daemon(daemon_process &d)
{
    if (d.pid > 0 && !d.exited) {
        kill(d.pid, SIGKILL);
        int status;
        waitpid(d.pid, &status, 0);
        std::lock_guard<std::mutex> hold(d.lock);
        d.exited = true;
        d.status = status;
    }
    kill_children();
    if (d.reader.joinable())
        d.reader.join();
    if (d.out_fd >= 0)
        close(d.out_fd);
    if (d.err_fd >= 0)
        close(d.err_fd);
    d.out_fd = d.err_fd = -1;
}

daemon_process::~daemon_process()
{
    stop_daemon(*this);
}

static sockaddr_in loopback(int port)
{
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void send_udp(int port, const std::string &data)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&address), sizeof address);
    close(fd);
}

int open_catcher(int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    sockaddr_in address = loopback(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool catch_datagram(int fd, std::string *data, std::string *destination, int timeout_ms)
{
    pollfd watch = {fd, POLLIN, 0};
    if (poll(&watch, 1, timeout_ms) <= 0)
        return false;
    static char buffer[65536];
    char control[256];
    iovec part = {buffer, sizeof buffer};
    msghdr message;
    memset(&message, 0, sizeof message);
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = recvmsg(fd, &message, 0);
    if (got < 0)
        return false;
    data->assign(buffer, static_cast<size_t>(got));
    if (destination != nullptr) {
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
    }
    return true;
}

bool catch_datagram_to(int fd, const std::string &destination, std::string *data, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    std::string to;
    while (now_ms() < deadline) {
        if (!catch_datagram(fd, data, &to, static_cast<int>(deadline - now_ms())))
            return false;
        if (to == destination)
            return true;
    }
    return false;
}

int connect_tcp(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connect_when_listening(int port, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        int fd = connect_tcp(port);
        if (fd >= 0 || now_ms() > deadline)
            return fd;
        usleep(10 * 1000);
    }
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

bool sync_client(int client, int udp_port, std::string *received, int timeout_ms)
{
    long long deadline = now_ms() + timeout_ms;
    for (int attempt = 0; now_ms() < deadline; attempt++) {
        std::string line = "$GPTXT,sync," + std::to_string(attempt) + "*00\r\n";
        send_udp(udp_port, line);
        if (read_until(client, received, "$GPTXT,sync," + std::to_string(attempt) + "*00\n", 100)) {
            received->clear();
            return true;
        }
    }
    return false;
}

bool plug_receiver(const std::string &path, fake_receiver *r)
{
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
    if (r->master >= 0)
        close(r->master);
    r->master = -1;
}

bool read_receiver_until(fake_receiver *r, std::string *received, const std::string &needle, int timeout_ms)
{
    return read_until(r->master, received, needle, timeout_ms);
}

static int count_entries(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            count++;
    closedir(dir);
    return count;
}

int count_fds(pid_t pid)
{
    return count_entries("/proc/" + std::to_string(pid) + "/fd");
}

int count_threads(pid_t pid)
{
    int threads = count_entries("/proc/" + std::to_string(pid) + "/task");
    // An emulator that runs the daemon has threads of its own in the process.
    const char *own = getenv("GPSFANOUT_EMULATOR_THREADS");
    return threads < 0 || own == nullptr ? threads : threads - atoi(own);
}
