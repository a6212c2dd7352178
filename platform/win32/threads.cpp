// Threads and mutexes on Windows: CreateThread, and the host's mutexes waited
// for with WaitForSingleObject.
#include "../platform.h"

#include <windows.h>

namespace cvn::plat {
namespace {

struct ThreadStart {
  void (*fn)(void*);
  void* arg;
};

DWORD WINAPI thread_main(LPVOID p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.fn(start.arg);
  return 0;
}

}  // namespace

struct ThreadRec {
  HANDLE handle;
};

Thread thread_start(void (*fn)(void*), void* arg) {
  auto* start = new ThreadStart{fn, arg};
  HANDLE h = CreateThread(nullptr, 0, thread_main, start, 0, nullptr);
  if (h == nullptr) {
    delete start;
    return nullptr;
  }
  return new ThreadRec{h};
}

bool thread_wait(Thread t, unsigned timeout_ms) {
  return t != nullptr && WaitForSingleObject(t->handle, timeout_ms) == WAIT_OBJECT_0;
}

void thread_release(Thread t) {
  if (t == nullptr) return;
  CloseHandle(t->handle);
  delete t;
}

bool mutex_wait(Mutex m, unsigned timeout_ms) {
  if (m == nullptr) return false;
  DWORD r = WaitForSingleObject(static_cast<HANDLE>(m), timeout_ms);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void mutex_release(Mutex m) {
  if (m != nullptr) ReleaseMutex(static_cast<HANDLE>(m));
}

// Releasing a Windows mutex makes a waiting thread its owner.
void mutex_release_to_waiter(Mutex m) { mutex_release(m); }

// A Windows mutex does not show its waiters.
bool mutex_waited_for(Mutex) { return true; }

}  // namespace cvn::plat
