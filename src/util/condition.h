// condition: a condition variable whose timed waits count on the monotonic
// clock through pthread_cond_timedwait, which every glibc since 2.3 has. The
// C++ library of a newer build waits with pthread_cond_clockwait (glibc
// 2.30), which the portable launcher's oldest target systems (glibc 2.17)
// lack.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <mutex>

class MonotonicCondition {
 public:
  MonotonicCondition() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&condition_, &attributes);
    pthread_condattr_destroy(&attributes);
  }
  ~MonotonicCondition() { pthread_cond_destroy(&condition_); }
  MonotonicCondition(const MonotonicCondition&) = delete;
  MonotonicCondition& operator=(const MonotonicCondition&) = delete;

  void notify_all() { pthread_cond_broadcast(&condition_); }

  /// Waits, with lock held, until done() holds.
  template <typename Predicate>
  void wait(std::unique_lock<std::mutex>& lock, Predicate done) {
    while (!done()) pthread_cond_wait(&condition_, lock.mutex()->native_handle());
  }

  /// Waits, with lock held, until done() holds or timeout has passed;
  /// done()'s last value.
  template <typename Rep, typename Period, typename Predicate>
  bool wait_for(std::unique_lock<std::mutex>& lock, std::chrono::duration<Rep, Period> timeout, Predicate done) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count();
    if (nanoseconds < 0) nanoseconds = 0;
    deadline.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
    deadline.tv_nsec += static_cast<long>(nanoseconds % 1000000000);
    if (deadline.tv_nsec >= 1000000000) {
      deadline.tv_nsec -= 1000000000;
      ++deadline.tv_sec;
    }
    while (!done()) {
      if (pthread_cond_timedwait(&condition_, lock.mutex()->native_handle(), &deadline) == ETIMEDOUT) return done();
    }
    return true;
  }

 private:
  pthread_cond_t condition_;
};
