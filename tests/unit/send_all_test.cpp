#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include "clients/client_thread.h"

namespace {

std::atomic<int> interruptions{0};

void count_interruption(int)
{
    interruptions++;
}

TEST(SendAll, SendsCutShortBySignalsAreCompleted)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    int small = 4096;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    std::string payload(2 << 20, '\0');
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<char>('A' + (i * 7 + i / 4093) % 26);

    // Only this thread takes the timer signal, so it lands in the middle of
    // its blocking sends; without SA_RESTART they return short or EINTR.
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm_only, nullptr);
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        while (received.size() < payload.size()) {
            ssize_t n = read(pair[1], buffer, sizeof buffer);
            if (n <= 0)
                break;
            received.append(buffer, static_cast<size_t>(n));
            usleep(200); // a slow client keeps the sender waiting
        }
    });
    pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);

    struct sigaction action = {};
    action.sa_handler = count_interruption;
    sigaction(SIGALRM, &action, nullptr);
    itimerval every_ms = {{0, 1000}, {0, 1000}};
    setitimer(ITIMER_REAL, &every_ms, nullptr);
    bool sent = send_all(pair[0], payload.data(), payload.size());
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    signal(SIGALRM, SIG_DFL);
    shutdown(pair[0], SHUT_WR); // the reader sees the end of what was sent
    reader.join();

    EXPECT_TRUE(sent);
    EXPECT_GT(interruptions.load(), 0);
    ASSERT_EQ(received.size(), payload.size());
    EXPECT_TRUE(received == payload);
    close(pair[0]);
    close(pair[1]);
}

TEST(SendAll, AGonePeerIsAFailureNotASignal)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    close(pair[1]);
    // SIGPIPE is left at its default here: were it raised, this test would die.
    EXPECT_FALSE(send_all(pair[0], "$GPGGA,1*00\n", 12));
    close(pair[0]);
}

} // namespace
