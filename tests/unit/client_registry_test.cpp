// SPDX-License-Identifier: BSD-2-Clause
// The client registry: slots kept a prefix in registration order, and relayed
// text handed to every client whole, straight or through its pipe.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "clients/client_registry.h"
#include "clients/client_thread.h"
#include "descriptor_tools.h"

namespace {

// The occupied prefix of the table.
std::vector<client_link *> walk()
{
    std::vector<client_link *> seen;
    std::lock_guard<std::mutex> hold(registry_lock);
    for (int slot = 0; slot < max_clients && client_registry[slot] != nullptr; slot++)
        seen.push_back(client_registry[slot]);
    return seen;
}

void relay(const std::string &text)
{
    registry_write_all(text.data(), text.size());
}

const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\n";
const std::string rmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\n";

class ClientRegistry : public testing::Test {
protected:
    std::vector<int> peers; // the client's end of each link's socket

    void TearDown() override
    {
        for (std::vector<client_link *> left = walk(); !left.empty(); left = walk())
            registry_remove(left.front());
        for (int peer : peers)
            close(peer);
    }

    // A link as the listener makes it, its socket's peer in peers. With
    // `thread_ran` its backlog is as once its thread has run (none is started).
    client_link *make_link(bool thread_ran = false)
    {
        int ends[2], pair[2];
        if (pipe2(ends, O_CLOEXEC) != 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return nullptr;
        fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);
        peers.push_back(pair[1]);
        client_link *link = new client_link{ends[0], ends[1], pair[0]};
        if (thread_ran)
            link->backlog = 0;
        return link;
    }

    std::vector<client_link *> add_links(int n, bool thread_ran = false)
    {
        std::vector<client_link *> links;
        for (int i = 0; i < n; i++) {
            links.push_back(make_link(thread_ran));
            EXPECT_TRUE(registry_add(links.back())) << i;
        }
        return links;
    }
};

TEST_F(ClientRegistry, AFullTableRefusesTheNextAndDeparturesCloseTheGapInRegistrationOrder)
{
    auto links = add_links(max_clients);
    ASSERT_EQ(walk(), links);
    client_link *extra = make_link();
    EXPECT_FALSE(registry_add(extra));
    EXPECT_EQ(walk(), links); // unchanged, and the refused link is not in it
    EXPECT_NE(fcntl(extra->socket, F_GETFD), -1); // the caller still owns what was refused

    // The rest move forward, out of the last slot too.
    const int released[] = {links[1]->socket, links[1]->pipe_read, links[1]->pipe_write};
    registry_remove(links[1]);
    links.erase(links.begin() + 1);
    EXPECT_EQ(walk(), links);
    for (int fd : released)
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << fd; // closed
    EXPECT_TRUE(registry_add(extra));
    links.push_back(extra);
    EXPECT_EQ(walk(), links);

    // A link that is not registered is left alone.
    client_link *stranger = make_link();
    registry_remove(stranger);
    EXPECT_EQ(walk(), links);
    for (int fd : {stranger->socket, stranger->pipe_read, stranger->pipe_write})
        EXPECT_NE(fcntl(fd, F_GETFD), -1) << fd; // still open
    release_link(stranger);
}

TEST_F(ClientRegistry, EveryPipeGetsEachTextWholeAndAFullOneMissesItAloneAndALongOneGoesWhereItFitsWhole)
{
    auto links = add_links(3);
    relay(gga);
    relay(rmc);
    for (auto *link : links)
        EXPECT_EQ(drain(link->pipe_read), gga + rmc);
    EXPECT_EQ(drain(peers[0]), ""); // nothing goes straight until a client's thread runs

    // The middle client has stopped reading: its pipe is full, bar a few bytes.
    fill(links[1]->pipe_write);
    char some[16];
    ASSERT_EQ(read(links[1]->pipe_read, some, sizeof some), static_cast<ssize_t>(sizeof some));
    relay(gga);
    EXPECT_EQ(drain(links[0]->pipe_read), gga);
    EXPECT_EQ(drain(links[2]->pipe_read), gga);
    EXPECT_EQ(drain(links[1]->pipe_read).find('$'), std::string::npos); // only the filling
    relay(gga); // caught up, it gets the next text again
    EXPECT_EQ(drain(links[1]->pipe_read), gga);

    registry_remove(links[1]);
    relay(rmc);
    for (auto *link : {links[0], links[2]})
        EXPECT_EQ(drain(link->pipe_read), gga + rmc);

    // A text longer than the atomic size goes whole into a pipe whose free pages hold it, behind what waits
    // there; into one that might cut it, not at all.
    const std::string huge = "$GPTXT," + std::string(8000, 'x') + "\n";
    ASSERT_GT(huge.size(), static_cast<size_t>(PIPE_BUF));
    const std::string small = "$GPTXT,after*00\n";
    relay(small);
    ASSERT_EQ(drain(links[0]->pipe_read), small);
    relay(huge);
    relay(small);
    EXPECT_TRUE(drain(links[0]->pipe_read) == huge + small);
    EXPECT_TRUE(drain(links[2]->pipe_read) == small + huge + small);
    ASSERT_GT(fcntl(links[0]->pipe_write, F_SETPIPE_SZ, 4096), 0);
    fill(links[2]->pipe_write);
    ASSERT_GT(read(links[2]->pipe_read, some, sizeof some), 0); // room for the small one alone
    relay(huge);
    relay(small);
    EXPECT_TRUE(drain(links[0]->pipe_read) == small);
    EXPECT_EQ(drain(links[2]->pipe_read).find("$GPTXT,x"), std::string::npos);
}

TEST_F(ClientRegistry, AClientThatKeepsUpGetsTextStraightOnItsSocketAndAFullSocketSendsItThroughThePipe)
{
    client_link *link = add_links(1, true)[0];
    relay(gga);
    EXPECT_EQ(drain(peers[0]), gga);
    EXPECT_EQ(drain(link->pipe_read), "");
    EXPECT_EQ(link->backlog.load(), 0u);

    size_t filled = fill(link->socket);
    ASSERT_GT(filled, 0u);
    relay(gga);
    EXPECT_EQ(link->backlog.load(), gga.size());
    // The socket has room again, but the first text still waits in the pipe: the next may not overtake it.
    EXPECT_EQ(drain(peers[0]).size(), filled);
    relay(rmc);
    EXPECT_EQ(drain(peers[0]), "");
    EXPECT_EQ(link->backlog.load(), gga.size() + rmc.size());
    EXPECT_EQ(drain(link->pipe_read), gga + rmc);
}

TEST_F(ClientRegistry, TheThreadHandsOnWhatWaitedForItAndThenTextGoesStraightAgain)
{
    client_link *link = add_links(1)[0];
    size_t filled = fill(link->socket);
    relay(gga); // through the pipe until the thread runs
    relay(rmc);
    ASSERT_EQ(link->backlog.load(), thread_not_running + gga.size() + rmc.size());
    ASSERT_TRUE(start_client_thread(link));

    // The client reads again: the thread sends the waiting texts after the filling, in order, and counts them off.
    std::string got;
    ASSERT_TRUE(soon([&] { return (got += drain(peers[0])).size() >= filled + gga.size() + rmc.size(); }));
    EXPECT_EQ(got.substr(filled), gga + rmc);
    ASSERT_TRUE(soon([&] { return link->backlog.load() == 0; }));
    relay(gga);
    EXPECT_EQ(drain(peers[0]), gga); // straight: already there when the call returns

    // The client leaves: the thread notices on its own and unregisters.
    close(peers[0]);
    peers.clear();
    EXPECT_TRUE(soon([&] { return walk().empty(); }));
}

} // namespace
