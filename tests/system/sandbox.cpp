// SPDX-License-Identifier: BSD-2-Clause
// Entering the sandbox: private network, mount and IPC namespaces, a tmpfs on
// /tmp, a private /dev with a devpts of its own, and a veth pair for
// broadcast. Every test process enters one before any thread starts.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

std::string sandbox_skip_reason = "no sandbox: it was not entered";

// Runs a shell command; on failure, says which and what it printed.
static std::string run(const std::string &command)
{
    std::string full = "PATH=/usr/sbin:/sbin:/usr/bin:/bin:$PATH; " + command + " 2>&1";
    FILE *p = popen(full.c_str(), "r");
    if (p == nullptr)
        return command + ": " + strerror(errno);
    std::string said;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, p) != nullptr)
        said += buffer;
    int status = pclose(p);
    if (status == 0)
        return "";
    while (!said.empty() && (said.back() == '\n' || said.back() == ' '))
        said.pop_back();
    std::replace(said.begin(), said.end(), '\n', ' ');
    return command + ": " + (said.empty() ? "exit status " + std::to_string(WEXITSTATUS(status)) : said);
}

// The failed call and its error, as a skip reason.
static std::string failed(const std::string &call)
{
    return call + ": " + strerror(errno);
}

// A device node for the private /dev: made afresh, or else bound from the
// host's node, which is still reachable through `host_dev`. Empty, or the
// call that failed.
static std::string make_device(const char *name, unsigned major_number, unsigned minor_number, const std::string &host_dev)
{
    std::string path = std::string("/dev/") + name;
    if (mknod(path.c_str(), S_IFCHR | 0666, makedev(major_number, minor_number)) == 0) {
        chmod(path.c_str(), 0666);
        return "";
    }
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0666);
    if (fd < 0)
        return failed("open " + path);
    close(fd);
    if (mount((host_dev + "/" + name).c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return failed("mount --bind " + host_dev + "/" + name + " " + path);
    return "";
}

static std::string private_dev()
{
    // Keep a view of the host's /dev for binding nodes back.
    const std::string host_dev = "/tmp/.host-dev";
    mkdir(host_dev.c_str(), 0700);
    if (mount("/dev", host_dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return failed("mount --rbind /dev " + host_dev);
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
        return failed("mount -t tmpfs tmpfs /dev");
    for (auto node : {std::make_tuple("null", 1, 3), std::make_tuple("zero", 1, 5),
                      std::make_tuple("urandom", 1, 9), std::make_tuple("tty", 5, 0)}) {
        std::string why = make_device(std::get<0>(node), std::get<1>(node), std::get<2>(node), host_dev);
        if (!why.empty())
            return why;
    }
    mkdir("/dev/pts", 0755);
    if (mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") != 0)
        return failed("mount -t devpts -o newinstance devpts /dev/pts");
    if (symlink("pts/ptmx", "/dev/ptmx") != 0)
        return failed("ln -s pts/ptmx /dev/ptmx");
    umount2(host_dev.c_str(), MNT_DETACH);
    rmdir(host_dev.c_str());
    return "";
}

// Makes every mount of this (new) namespace private, so that nothing mounted
// here reaches the host. In a chroot "/" is no mount point and cannot be made
// private by that name; binding it onto itself would not do either, as the
// bind would itself propagate to the host through the shared mount that holds
// the chroot. So the real root of the namespace is visited for the call, by
// the way out of a chroot that root has (a chroot below the working
// directory), and the chroot entered again by its descriptor.
static std::string make_mounts_private()
{
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        return "";
    if (errno != EINVAL)
        return failed("mount --make-rprivate /");
    std::string why;
    int chroot_fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (chroot_fd < 0)
        return failed("open /");
    struct stat here{}, up{};
    if (chdir("/") != 0 || chroot("/dev") != 0) {
        why = failed("chroot /dev (to reach the namespace's root from a chroot)");
    } else {
        // Climb to where ".." is the directory itself: the real root.
        while (stat(".", &here) == 0 && stat("..", &up) == 0 &&
               (here.st_dev != up.st_dev || here.st_ino != up.st_ino) && chdir("..") == 0) {
        }
        if (chroot(".") != 0)
            why = failed("chroot to the namespace's root");
        else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            why = failed("mount --make-rprivate / (the namespace's root, outside the chroot)");
    }
    // Back into the chroot, whatever happened.
    if (fchdir(chroot_fd) != 0 || chroot(".") != 0 || chdir("/") != 0)
        why = failed("chroot back into /");
    close(chroot_fd);
    return why;
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

// Empty when the sandbox is up; otherwise the call that failed.
static std::string make_sandbox()
{
    // A way to see that a sandbox that cannot be made fails the test run.
    const char *fail = getenv("GPSFANOUT_SANDBOX_FAIL");
    if (fail != nullptr && *fail != '\0' && strcmp(fail, "0") != 0)
        return "GPSFANOUT_SANDBOX_FAIL is set";
    // IPC too: the time servers' shared-memory segments are keyed by unit
    // alone, and another program's unit 2 would otherwise be a test's.
    if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC) != 0)
        return failed("unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC)");
    std::vector<std::string> kept = kept_under_tmp();
    std::vector<int> kept_fds;
    for (auto &top : kept)
        kept_fds.push_back(open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string why = make_mounts_private();
    if (!why.empty())
        return why;
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        return failed("mount -t tmpfs tmpfs /tmp");
    for (size_t i = 0; i < kept.size(); i++) {
        if (kept_fds[i] < 0)
            return "open " + kept[i] + " before the private /tmp covers it";
        std::string source = "/proc/self/fd/" + std::to_string(kept_fds[i]);
        mkdir(kept[i].c_str(), 0755);
        if (mount(source.c_str(), kept[i].c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return failed("mount --rbind " + kept[i] + " (to keep it under the private /tmp)");
        close(kept_fds[i]);
    }
    why = private_dev();
    if (!why.empty())
        return why;
    for (std::string command : {std::string("ip link set lo up"), std::string("ip link add v0 type veth peer name v1"),
                                std::string("ip addr add ") + veth_address + "/24 brd + dev v0",
                                std::string("ip link set v0 up"), std::string("ip link set v1 up")}) {
        why = run(command);
        if (!why.empty())
            return why;
    }
    return "";
}

void sandbox_enter()
{
    // Every reason starts alike, so that the test run can tell a sandbox
    // that could not be made from a test's own reason to skip.
    if (geteuid() != 0) {
        sandbox_skip_reason = "no sandbox: system tests need root, to make private network and mount namespaces";
        return;
    }
    // Daemons that detach are reparented to us, so they can be found and ended.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string why = make_sandbox();
    sandbox_skip_reason = why.empty() ? "" : "no sandbox: " + why;
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Namespaces apply to the calling thread: enter them before any thread starts.
    if (!GTEST_FLAG_GET(list_tests))
        sandbox_enter();
    return RUN_ALL_TESTS();
}
