// Threads and the timed mutex on POSIX: pthreads with a completion flag, so a
// wait can give up after a time-out as WaitForSingleObject does.
#include "../platform.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#if defined(__linux__)
#include <linux/futex.h>
#endif

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>

namespace cvn::plat {

struct ThreadShared {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  void (*fn)(void*) = nullptr;
  void* arg = nullptr;
};

struct ThreadRec {
  pthread_t tid{};
  std::shared_ptr<ThreadShared> shared;
};

namespace {
void* thread_main(void* p) {
  std::shared_ptr<ThreadShared> sh = *static_cast<std::shared_ptr<ThreadShared>*>(p);
  delete static_cast<std::shared_ptr<ThreadShared>*>(p);
  sh->fn(sh->arg);
  std::lock_guard<std::mutex> lk(sh->mu);
  sh->done = true;
  sh->cv.notify_all();
  return nullptr;
}
}  // namespace

Thread thread_start(void (*fn)(void*), void* arg) {
  auto* t = new ThreadRec;
  t->shared = std::make_shared<ThreadShared>();
  t->shared->fn = fn;
  t->shared->arg = arg;
  auto* handoff = new std::shared_ptr<ThreadShared>(t->shared);
  if (pthread_create(&t->tid, nullptr, thread_main, handoff) != 0) {
    delete handoff;
    delete t;
    return nullptr;
  }
  return t;
}

bool thread_wait(Thread t, unsigned timeout_ms) {
  if (t == nullptr) return false;
  std::unique_lock<std::mutex> lk(t->shared->mu);
  return t->shared->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                                [&] { return t->shared->done; });
}

void thread_release(Thread t) {
  if (t == nullptr) return;
  bool done;
  {
    std::lock_guard<std::mutex> lk(t->shared->mu);
    done = t->shared->done;
  }
  if (done)
    pthread_join(t->tid, nullptr);
  else
    pthread_detach(t->tid);
  delete t;
}

#if defined(__linux__) && defined(__GLIBC__)
namespace {

// glibc's lock word of a plain, recursive or error-checking mutex: 0 free, 1 held,
// 2 held while a thread may sleep on the word's futex waiting for it. A release
// that finds 2 wakes one sleeper; a sleeper that wakes takes the lock by setting 2
// again, whether or not another thread still sleeps, so that its own release
// wakes the next one.
constexpr int kKindRobust = 16, kKindInherit = 32, kKindProtect = 64;  // another lock word
constexpr int kKindShared = 128;                                     // futexes not private

int* lock_word(pthread_mutex_t* pm) { return &pm->__data.__lock; }
bool word_known(const pthread_mutex_t* pm) {
  return (pm->__data.__kind & (kKindRobust | kKindInherit | kKindProtect)) == 0;
}
bool outermost(const pthread_mutex_t* pm) { return pm->__data.__count <= 1; }

// The lock this thread holds after waiting for it, if any: its word is 2 then,
// and says nothing of other waiters.
thread_local pthread_mutex_t* t_taken_after_wait = nullptr;

void note_taken(pthread_mutex_t* pm, bool waited) {
  if (outermost(pm)) t_taken_after_wait = waited ? pm : nullptr;
}

long futex(int* word, int op, int value, const timespec* timeout) {
  return syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

}  // namespace
#else
namespace {
void note_taken(pthread_mutex_t*, bool) {}
}  // namespace
#endif

bool mutex_wait(Mutex m, unsigned timeout_ms) {
  if (m == nullptr) return false;
  auto* pm = static_cast<pthread_mutex_t*>(m);
  if (pthread_mutex_trylock(pm) == 0) {  // the common case, without a clock read
    note_taken(pm, false);
    return true;
  }
  if (timeout_ms == 0) return false;
  // pthread_mutex_timedlock takes a wall-clock deadline; the monotonic variant
  // would be immune to clock steps but is not seen by ThreadSanitizer.
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  ts.tv_sec += timeout_ms / 1000;
  ts.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000;
  if (ts.tv_nsec >= 1000000000) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000;
  }
  if (pthread_mutex_timedlock(pm, &ts) != 0) return false;
  note_taken(pm, true);
  return true;
}

void mutex_release(Mutex m) {
  if (m == nullptr) return;
  auto* pm = static_cast<pthread_mutex_t*>(m);
  note_taken(pm, false);
  pthread_mutex_unlock(pm);
}

#if defined(__linux__) && defined(__GLIBC__)
void mutex_release_to_waiter(Mutex m) {
  if (m == nullptr) return;
  auto* pm = static_cast<pthread_mutex_t*>(m);
  int* word = lock_word(pm);
  // A word of 2 means a waiter only when this thread took the lock without
  // waiting for it; after a wait it may mean nobody, and a wait for nobody would
  // last its whole time. Then the lock is only released: a waiter it wakes may
  // lose it to this thread once more, and is seen at the next release.
  const bool after_wait = t_taken_after_wait == pm;
  note_taken(pm, false);
  if (__atomic_load_n(word, __ATOMIC_RELAXED) < 2 || !outermost(pm) || after_wait || !word_known(pm)) {
    pthread_mutex_unlock(pm);
    return;
  }
  // The releaser asking again at once would win against the thread the unlock
  // wakes, so this thread waits, asleep, until that thread has had the lock: it
  // sleeps on the lock word's own futex, where the waiter's release (it holds the
  // word at 2) wakes it. It does not sleep when the word shows the lock taken. A
  // waiter on this core may also have run its whole hold already (this thread was
  // switched out in the unlock); the sleep then ends after kLongest, idle. Going
  // on at once when the unlock took long was tried: it let this thread take the
  // lock again before a waiter on the other core had run, and a script thread's
  // p99 wait beside a flood rose from about 85 to 115 us. A waiter that is slower
  // to wake than kLongest is let in at the next release.
  using Clock = std::chrono::steady_clock;
  constexpr auto kLongest = std::chrono::microseconds(50);
  const int priv = (pm->__data.__kind & kKindShared) != 0 ? 0 : FUTEX_PRIVATE_FLAG;
  pthread_mutex_unlock(pm);
  const auto unlocked = Clock::now();
  const auto until = unlocked + kLongest;
  for (;;) {
    if (__atomic_load_n(word, __ATOMIC_ACQUIRE) != 0) return;
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now());
    if (left.count() <= 0) return;
    timespec ts{0, static_cast<long>(left.count())};
    if (futex(word, FUTEX_WAIT | priv, 0, &ts) == 0) {
      // Woken by a release: the wake may have been meant for a thread waiting for
      // the lock, which would sleep on with the lock free. Passed on.
      futex(word, FUTEX_WAKE | priv, 1, nullptr);
      return;
    }
    if (errno == ETIMEDOUT) return;
    // EAGAIN: the word was not 0 any more; EINTR: a signal. Looked at again.
  }
}

bool mutex_waited_for(Mutex m) {
  if (m == nullptr) return false;
  auto* pm = static_cast<pthread_mutex_t*>(m);
  return !word_known(pm) || __atomic_load_n(lock_word(pm), __ATOMIC_RELAXED) > 1;
}
#else
void mutex_release_to_waiter(Mutex m) { mutex_release(m); }
bool mutex_waited_for(Mutex m) { return m != nullptr; }
#endif

}  // namespace cvn::plat
