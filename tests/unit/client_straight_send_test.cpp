// SPDX-License-Identifier: BSD-2-Clause
// Relayed text reaches a client that keeps up straight through its socket;
// only what the socket cannot take goes through the pipe, in order, and the
// client's thread hands it on.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "clients/client_registry.h"
#include "clients/client_thread.h"

namespace {

// A registered link whose socket is one end of a stream socket pair; `peer`
// is the other end, where the client would read.
struct ClientStraightSend : testing::Test {
    client_link *link = nullptr;
    int peer = -1;
    // With `thread_ran` the backlog is as once the link's thread has started
    // (no thread is started).
    bool registered_link(bool thread_ran)
    {
        int ends[2], pair[2];
        if (pipe2(ends, O_CLOEXEC) != 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return false;
        fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);
        peer = pair[1];
        link = new client_link{ends[0], ends[1], pair[0]};
        if (thread_ran)
            link->backlog = 0;
        return registry_add(link);
    }
    void TearDown() override
    {
        registry_remove(link);
        if (peer >= 0)
            close(peer);
    }
};

// Everything that can be read from fd without waiting.
std::string take(int fd)
{
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        got.append(buffer, static_cast<size_t>(n));
    return got;
}

std::string take_pipe(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        got.append(buffer, static_cast<size_t>(n));
    fcntl(fd, F_SETFL, flags);
    return got;
}

// Fills the socket until it takes no more; returns how many bytes it took.
size_t fill(int socket)
{
    size_t total = 0;
    static const char block[512] = {0};
    for (size_t size = sizeof block; size > 0; size /= 2)
        for (ssize_t n; (n = send(socket, block, size, MSG_DONTWAIT)) > 0;)
            total += static_cast<size_t>(n);
    return total;
}

bool registered(const client_link *link)
{
    std::lock_guard<std::mutex> hold(registry_lock);
    for (int slot = 0; slot < max_clients && client_registry[slot] != nullptr; slot++)
        if (client_registry[slot] == link)
            return true;
    return false;
}

template <typename Condition> bool wait_for(Condition done)
{
    for (int i = 0; i < 1000 && !done(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\n";
const std::string rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\n";
const std::string vtg = "$GPVTG,084.4,T,,M,022.4,N,041.5,K,A*01\n";

} // namespace

TEST_F(ClientStraightSend, AClientThatKeepsUpGetsTextOnItsSocketAndNothingInItsPipe)
{
    ASSERT_TRUE(registered_link(true));
    registry_write_all(gga.data(), gga.size());
    registry_write_all(rmc.data(), rmc.size());
    EXPECT_EQ(take(peer), gga + rmc);
    EXPECT_EQ(take_pipe(link->pipe_read), "");
    EXPECT_EQ(link->backlog.load(), 0u);
}

TEST_F(ClientStraightSend, AFullSocketSendsTheTextWholeThroughThePipeAndLaterTextsFollowIt)
{
    ASSERT_TRUE(registered_link(true));
    size_t filled = fill(link->socket);
    ASSERT_GT(filled, 0u);

    registry_write_all(gga.data(), gga.size());
    EXPECT_EQ(link->backlog.load(), gga.size());
    // The socket has room again, but the first text still waits in the pipe:
    // the next may not overtake it.
    EXPECT_EQ(take(peer).size(), filled);
    registry_write_all(rmc.data(), rmc.size());
    EXPECT_EQ(take(peer), "");
    EXPECT_EQ(link->backlog.load(), gga.size() + rmc.size());
    EXPECT_EQ(take_pipe(link->pipe_read), gga + rmc);
}

TEST_F(ClientStraightSend, UntilItsThreadRunsAClientGetsTextThroughThePipe)
{
    ASSERT_TRUE(registered_link(false));
    registry_write_all(gga.data(), gga.size());
    EXPECT_EQ(take(peer), "");
    EXPECT_EQ(take_pipe(link->pipe_read), gga);
}

TEST_F(ClientStraightSend, TheThreadHandsOnWhatWaitsAndThenTextGoesStraightAgain)
{
    ASSERT_TRUE(registered_link(false));
    size_t filled = fill(link->socket);
    registry_write_all(gga.data(), gga.size());
    registry_write_all(rmc.data(), rmc.size());
    ASSERT_EQ(link->backlog.load(), thread_not_running + gga.size() + rmc.size());
    ASSERT_TRUE(start_client_thread(link));

    // The client reads again: the thread sends the waiting texts after the
    // filling, in order, and counts them off.
    std::string got;
    ASSERT_TRUE(wait_for([&] {
        got += take(peer);
        return got.size() >= filled + gga.size() + rmc.size();
    }));
    EXPECT_EQ(got.substr(filled), gga + rmc);
    ASSERT_TRUE(wait_for([&] { return link->backlog.load() == 0; }));

    registry_write_all(vtg.data(), vtg.size());
    EXPECT_EQ(take(peer), vtg); // straight: already there when the call returns

    // The client leaves: the thread notices on its own and unregisters.
    close(peer);
    peer = -1;
    EXPECT_TRUE(wait_for([&] { return !registered(link); }));
    link = nullptr; // released by its thread
}
