// Threads and the timed mutex on POSIX: pthreads with a completion flag, so a
// wait can give up after a time-out as WaitForSingleObject does.
#include "../platform.h"

#include <pthread.h>
#include <sched.h>

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

bool mutex_wait(Mutex m, unsigned timeout_ms) {
  if (m == nullptr) return false;
  auto* pm = static_cast<pthread_mutex_t*>(m);
  if (pthread_mutex_trylock(pm) == 0) return true;  // the common case, without a clock read
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
  return pthread_mutex_timedlock(pm, &ts) == 0;
}

void mutex_release(Mutex m) {
  if (m != nullptr) pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m));
}

void mutex_release_to_waiter(Mutex m) {
  if (m == nullptr) return;
  auto* pm = static_cast<pthread_mutex_t*>(m);
#if defined(__GLIBC__)
  // glibc's lock word: 0 free, 1 held, 2 held while another thread waits. The
  // unlock wakes that thread, but the releaser asking again at once would win.
  auto word = [pm] { return __atomic_load_n(&pm->__data.__lock, __ATOMIC_RELAXED); };
  bool waited_for = word() > 1;
  pthread_mutex_unlock(pm);
  if (!waited_for) return;
  constexpr auto kLongest = std::chrono::microseconds(200);
  auto until = std::chrono::steady_clock::now() + kLongest;
  while (word() == 0 && std::chrono::steady_clock::now() < until) sched_yield();
#else
  pthread_mutex_unlock(pm);
#endif
}

}  // namespace cvn::plat
