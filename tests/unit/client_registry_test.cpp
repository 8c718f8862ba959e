// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "clients/client_registry.h"

namespace {

// A link with a real pipe, its write end non-blocking as the listener makes
// it; the socket is a second pipe's read end, so that release closes something
// real that the test can watch.
client_link *make_link()
{
    int ends[2], stand_in[2];
    if (pipe2(ends, O_CLOEXEC) != 0 || pipe2(stand_in, O_CLOEXEC) != 0)
        return nullptr;
    close(stand_in[1]);
    fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);
    client_link *link = new client_link();
    link->pipe_read = ends[0];
    link->pipe_write = ends[1];
    link->socket = stand_in[0];
    return link;
}

bool is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// The occupied prefix of the table.
std::vector<client_link *> walk()
{
    std::vector<client_link *> seen;
    std::lock_guard<std::mutex> hold(registry_lock);
    for (int slot = 0; slot < max_clients && client_registry[slot] != nullptr; slot++)
        seen.push_back(client_registry[slot]);
    return seen;
}

// Everything queued in a link's pipe.
std::string drain(client_link *link)
{
    std::string got;
    char buffer[4096];
    int flags = fcntl(link->pipe_read, F_GETFL);
    fcntl(link->pipe_read, F_SETFL, flags | O_NONBLOCK);
    for (ssize_t n; (n = read(link->pipe_read, buffer, sizeof buffer)) > 0;)
        got.append(buffer, static_cast<size_t>(n));
    fcntl(link->pipe_read, F_SETFL, flags);
    return got;
}

class ClientRegistry : public testing::Test {
protected:
    void TearDown() override
    {
        for (std::vector<client_link *> left = walk(); !left.empty(); left = walk())
            registry_remove(left.front());
    }

    // Registers n new links and returns them in registration order.
    std::vector<client_link *> add_links(int n)
    {
        std::vector<client_link *> links;
        for (int i = 0; i < n; i++) {
            client_link *link = make_link();
            EXPECT_NE(link, nullptr);
            EXPECT_TRUE(registry_add(link)) << i;
            links.push_back(link);
        }
        return links;
    }
};

TEST_F(ClientRegistry, DeparturesCloseTheGapInRegistrationOrder)
{
    auto abc = add_links(3);
    ASSERT_EQ(walk(), abc);

    int b_socket = abc[1]->socket, b_read = abc[1]->pipe_read, b_write = abc[1]->pipe_write;
    registry_remove(abc[1]);
    EXPECT_EQ(walk(), (std::vector<client_link *>{abc[0], abc[2]}));
    // Removal releases the link: both pipe ends and the socket are closed.
    EXPECT_FALSE(is_open(b_socket));
    EXPECT_FALSE(is_open(b_read));
    EXPECT_FALSE(is_open(b_write));

    auto d = add_links(1);
    EXPECT_EQ(walk(), (std::vector<client_link *>{abc[0], abc[2], d[0]}));

    registry_remove(abc[0]);
    registry_remove(d[0]);
    EXPECT_EQ(walk(), (std::vector<client_link *>{abc[2]}));
    registry_remove(abc[2]);
    EXPECT_TRUE(walk().empty());
}

TEST_F(ClientRegistry, ALinkThatIsNotRegisteredIsLeftAlone)
{
    auto registered = add_links(2);
    client_link *stranger = make_link();
    ASSERT_NE(stranger, nullptr);
    registry_remove(stranger);
    EXPECT_EQ(walk(), registered);
    EXPECT_TRUE(is_open(stranger->socket));
    EXPECT_TRUE(is_open(stranger->pipe_read));
    release_link(stranger);
}

TEST_F(ClientRegistry, AFullTableRefusesTheNextUntilOneLeaves)
{
    auto links = add_links(max_clients);
    ASSERT_EQ(walk(), links);

    client_link *extra = make_link();
    ASSERT_NE(extra, nullptr);
    EXPECT_FALSE(registry_add(extra));
    EXPECT_EQ(walk(), links); // unchanged, and the refused link is not in it
    // The caller still owns what was refused.
    EXPECT_TRUE(is_open(extra->socket));

    registry_remove(links[57]);
    links.erase(links.begin() + 57);
    EXPECT_TRUE(registry_add(extra));
    links.push_back(extra);
    EXPECT_EQ(walk(), links);
}

TEST_F(ClientRegistry, RemovingSlotZeroOfAFullTableShiftsTheRestForward)
{
    auto links = add_links(max_clients);
    registry_remove(links[0]);
    {
        std::lock_guard<std::mutex> hold(registry_lock);
        for (int slot = 0; slot < max_clients - 1; slot++)
            EXPECT_EQ(client_registry[slot], links[static_cast<size_t>(slot) + 1]) << slot;
        EXPECT_EQ(client_registry[max_clients - 1], nullptr);
    }
    auto next = add_links(1);
    std::lock_guard<std::mutex> hold(registry_lock);
    EXPECT_EQ(client_registry[max_clients - 1], next[0]);
}

TEST_F(ClientRegistry, EveryRegisteredPipeGetsEachTextWhole)
{
    auto links = add_links(3);
    registry_write_all("$GPGGA,1*00\n", 12);
    registry_write_all("$GPRMC,2*00\n", 12);
    for (auto *link : links)
        EXPECT_EQ(drain(link), "$GPGGA,1*00\n$GPRMC,2*00\n");

    registry_remove(links[1]);
    registry_write_all("$GPGGA,3*00\n", 12);
    EXPECT_EQ(drain(links[0]), "$GPGGA,3*00\n");
    EXPECT_EQ(drain(links[2]), "$GPGGA,3*00\n");
}

// Fills a pipe until no byte more fits; returns how many bytes it took.
size_t fill(client_link *link)
{
    size_t total = 0;
    static const char block[4096] = {0};
    for (size_t size = sizeof block; size > 0; size /= 2) {
        for (ssize_t n; (n = write(link->pipe_write, block, size)) > 0;)
            total += static_cast<size_t>(n);
    }
    return total;
}

TEST_F(ClientRegistry, AFullPipeMissesTheTextWholeAndHoldsUpNoOther)
{
    auto links = add_links(3);
    // The middle client has stopped reading: its pipe is full, bar a few bytes.
    fill(links[1]);
    char byte[16];
    ASSERT_EQ(read(links[1]->pipe_read, byte, sizeof byte), static_cast<ssize_t>(sizeof byte));

    const std::string text = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\n";
    registry_write_all(text.data(), text.size());
    EXPECT_EQ(drain(links[0]), text);
    EXPECT_EQ(drain(links[2]), text);
    // Only zero bytes went in (the filling); none of the sentence did.
    std::string stalled = drain(links[1]);
    EXPECT_EQ(stalled.find('$'), std::string::npos);

    // Once it has caught up it gets the next text again.
    registry_write_all(text.data(), text.size());
    EXPECT_EQ(drain(links[1]), text);
}

TEST_F(ClientRegistry, ATextLongerThanTheAtomicSizeGoesOnlyIntoAnEmptyPipe)
{
    auto links = add_links(2);
    const std::string huge = "$GPTXT," + std::string(8000, 'x') + "\n";
    ASSERT_GT(huge.size(), static_cast<size_t>(PIPE_BUF));
    const std::string small = "$GPTXT,after*00\n";

    // links[1] has something queued, so the long text is not given to it,
    // but the short text after it still is.
    registry_write_all(small.data(), small.size());
    ASSERT_EQ(drain(links[0]), small);
    registry_write_all(huge.data(), huge.size());
    registry_write_all(small.data(), small.size());
    std::string got = drain(links[0]);
    EXPECT_TRUE(got == huge + small) << got.size() << " bytes";
    EXPECT_EQ(drain(links[1]), small + small);

    // An empty pipe too small for it: the long text is dropped, not cut.
    ASSERT_GT(fcntl(links[0]->pipe_write, F_SETPIPE_SZ, 4096), 0);
    registry_write_all(huge.data(), huge.size());
    registry_write_all(small.data(), small.size());
    got = drain(links[0]);
    EXPECT_TRUE(got == small) << got.size() << " bytes";
}

} // namespace
