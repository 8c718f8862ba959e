// SPDX-License-Identifier: BSD-2-Clause
// Entering the sandbox: private network and mount namespaces, a tmpfs on
// /tmp, a private /dev with a devpts of its own, and a veth pair for
// broadcast. Every test process enters one before any thread starts.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "harness.h"

std::string sandbox_skip_reason = "the sandbox was not entered";

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

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Namespaces apply to the calling thread: enter them before any thread starts.
    if (!GTEST_FLAG_GET(list_tests))
        sandbox_enter();
    return RUN_ALL_TESTS();
}
