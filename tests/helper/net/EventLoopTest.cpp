#include "helper/net/EventLoop.h"

#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

using namespace ringlark::helper;

// What epoll will not watch is refused with the reason, and a refusal leaves
// an earlier watch of the same descriptor working.
TEST(EventLoop, RefusedWatchesSayWhyAndLeaveEarlierOnesInPlace)
{
    EventLoop loop;
    ASSERT_TRUE(loop.valid());

    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    errno = 0;
    EXPECT_FALSE(loop.watch(fileno(file), EPOLLIN, [](std::uint32_t) {}));
    EXPECT_EQ(errno, EPERM);
    std::fclose(file);

    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    int first = 0, second = 0;
    EXPECT_TRUE(loop.watch(pipe[0], EPOLLIN, [&](std::uint32_t) {
        ++first;
        loop.stop();
    }));
    EXPECT_FALSE(loop.watch(pipe[0], EPOLLIN, [&](std::uint32_t) { ++second; }));
    EXPECT_EQ(errno, EEXIST);

    ASSERT_EQ(::write(pipe[1], "x", 1), 1);
    const auto guard = loop.at(EventLoop::Clock::now() + std::chrono::seconds(2), [&] { loop.stop(); });
    EXPECT_TRUE(loop.run());
    loop.cancel(guard);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    loop.unwatch(pipe[0]);
    ::close(pipe[0]);
    ::close(pipe[1]);
}
