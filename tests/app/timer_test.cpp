#include "timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

void sleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TEST(TimerTest, ClockStartsAtInitialisationAndRuns) {
  ASSERT_TRUE(Vantor::initializeClock());
  const double first = Vantor::now();
  EXPECT_GE(first, 0.0);
  EXPECT_LT(first, 0.5);
  sleepMs(2);
  EXPECT_GT(Vantor::now(), first);
}

TEST(TimerTest, IntervalsAddUpFromTheFirstStartUntilReset) {
  Vantor::Timer timer;
  EXPECT_TRUE(timer.isStopped());
  EXPECT_EQ(timer.elapsed(), 0.0);
  timer.start();
  sleepMs(20);
  timer.start();  // does not restart the interval
  const double running = timer.elapsed();
  EXPECT_FALSE(timer.isStopped());
  EXPECT_GE(running, 0.019);
  timer.stop();
  const double first = timer.elapsed();
  EXPECT_GE(first, running);
  timer.stop();  // a stopped timer is left as it is
  sleepMs(300);  // and measures nothing while stopped
  EXPECT_EQ(timer.elapsed(), first);
  timer.start();
  sleepMs(20);
  timer.stop();
  EXPECT_GE(timer.elapsed() - first, 0.019);
  EXPECT_LT(timer.elapsed() - first, 0.25);
  timer.start();
  timer.reset();  // drops the running interval and stops
  EXPECT_TRUE(timer.isStopped());
  EXPECT_EQ(timer.elapsed(), 0.0);
}

}  // namespace
