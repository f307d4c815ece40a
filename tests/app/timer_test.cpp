#include "app/timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

void sleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TEST(TimerTest, NewTimerIsStoppedAtZero) {
  Vantor::Timer timer;
  EXPECT_TRUE(timer.isStopped());
  EXPECT_EQ(timer.elapsed(), 0.0);
}

TEST(TimerTest, ClockStartsNearZeroAndIncreases) {
  ASSERT_TRUE(Vantor::initializeClock());
  const double first = Vantor::now();
  EXPECT_GE(first, 0.0);
  EXPECT_LT(first, 0.5);
  sleepMs(5);
  EXPECT_GT(Vantor::now(), first);
}

TEST(TimerTest, SecondStartKeepsTheFirstAndStopIsIdempotent) {
  Vantor::Timer timer;
  timer.start();
  sleepMs(30);
  timer.start();  // must not restart the interval
  timer.stop();
  const double measured = timer.elapsed();
  EXPECT_GE(measured, 0.029);
  EXPECT_LT(measured, 5.0);
  sleepMs(10);
  timer.stop();
  EXPECT_EQ(timer.elapsed(), measured);
  EXPECT_TRUE(timer.isStopped());
}

TEST(TimerTest, IntervalsAddUpUntilReset) {
  Vantor::Timer timer;
  timer.start();
  sleepMs(20);
  timer.stop();
  const double first = timer.elapsed();
  sleepMs(300);  // a pause while stopped is not measured
  timer.start();
  sleepMs(20);
  timer.stop();
  const double both = timer.elapsed();
  EXPECT_GE(first, 0.019);
  EXPECT_GE(both - first, 0.019);
  EXPECT_LT(both - first, 0.25);

  timer.start();
  timer.reset();  // drops the running interval and stops
  EXPECT_TRUE(timer.isStopped());
  EXPECT_EQ(timer.elapsed(), 0.0);
}

TEST(TimerTest, RunningTimerGrowsAndKeepsRunning) {
  Vantor::Timer timer;
  timer.start();
  const double a = timer.elapsed();
  sleepMs(5);
  const double b = timer.elapsed();
  EXPECT_GT(b, a);
  EXPECT_FALSE(timer.isStopped());
}

}  // namespace
