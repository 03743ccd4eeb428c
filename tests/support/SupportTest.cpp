#include "support/Async.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

using namespace ringlark;
using namespace ringlark::test;

TEST(Sleep, RunsItsFullTimeOrEndsEarlyOnCancel)
{
    QElapsedTimer clock;
    clock.start();
    auto full = await(sleepFor(30ms));
    ASSERT_TRUE(full.has_value());
    EXPECT_TRUE(*full);
    EXPECT_GE(clock.elapsed(), 25);

    auto token = makeTaskHandle();
    clock.restart();
    QTimer::singleShot(20, [token] { token->cancel(); });
    auto cut = await(sleepFor(5s, token));
    ASSERT_TRUE(cut.has_value());
    EXPECT_FALSE(*cut);
    EXPECT_LT(clock.elapsed(), 2000);

    // Already cancelled: returns at once, reporting the cut.
    auto again = await(sleepFor(5s, token), 500ms);
    ASSERT_TRUE(again.has_value());
    EXPECT_FALSE(*again);
}
