#include "krenn/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "text.hpp"

namespace krenn {

namespace detail {

constinit thread_local ThreadState thread_state{};
constinit PendingRefs pending_refs{};
constinit thread_local bool forced_unwind = false;

namespace {

// Its destructor is the owned list's thread-exit clean-up. The references still
// listed are not released: the interpreter may already be gone for this thread.
struct OwnedListReaper {
  constexpr OwnedListReaper() noexcept = default;
  ~OwnedListReaper() {
    thread_state.owned_list_state = OwnedListState::Destroyed;
    thread_state.owned_list.free_storage();
  }
};

thread_local OwnedListReaper owned_list_reaper;

// Frees the storage of a list taken out of the owned list or the queue.
struct TakenRefs {
  PyObject** data;
  std::size_t len;
  ~TakenRefs() { std::free(data); }
};

void decref_all(PyObject* const* refs, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) decref(refs[i]);
}

}  // namespace

void gil_prohibited(std::int64_t count) {
  if (count == -1)
    panic("Access to the GIL is prohibited while a __traverse__ implmentation is running.");
  panic("Access to the GIL is currently prohibited.");
}

void touch_owned_list() {
  if (thread_state.owned_list_state != OwnedListState::Fresh) return;
  // Naming the thread_local object registers its destructor for this thread.
  [[maybe_unused]] volatile auto* reaper = &owned_list_reaper;
  thread_state.owned_list_state = OwnedListState::Live;
}

void owned_list_destroyed() {
  panic("cannot access a Thread Local Storage value during or after destruction");
}

void release_owned_from(std::size_t start) {
  RefVec& list = thread_state.owned_list;
  std::size_t count = list.len - start;
  // The moved entries leave the list before any release runs: a deallocation
  // that registers or releases references finds the list at the pool's mark.
  constexpr std::size_t inline_capacity = 16;
  if (count <= inline_capacity) {
    PyObject* moved[inline_capacity];
    for (std::size_t i = 0; i < count; ++i) moved[i] = list.data[start + i];
    list.len = start;
    decref_all(moved, count);
    return;
  }
  TakenRefs taken{static_cast<PyObject**>(std::malloc(count * sizeof(PyObject*))), count};
  if (!taken.data) [[unlikely]] {
    // No memory for the buffer: each entry still leaves the list before its
    // release, newest first.
    while (list.len > start) decref(list.data[--list.len]);
    return;
  }
  std::memcpy(taken.data, list.data + start, count * sizeof(PyObject*));
  list.len = start;
  decref_all(taken.data, taken.len);
}

void register_owned_slow(PyObject* obj) {
  touch_owned_list();
  if (thread_state.owned_list_state == OwnedListState::Destroyed) return;  // never released
  if (!thread_state.owned_list.try_push(obj)) [[unlikely]] {
    decref(obj);
    out_of_memory();
  }
}

void defer_release(PyObject* obj) {
  // Nothing is allocated or freed under the lock: an allocator that locks
  // itself before fork's handlers run would wait for a thread that holds the
  // lock, while the forking thread waits for the lock.
  RefVec& queue = pending_refs.pending_decrefs;
  pending_refs.lock.lock();
  while (queue.len == queue.cap) {
    std::size_t want = std::max(std::size_t{4}, queue.cap * 2);
    pending_refs.lock.unlock();
    auto* fresh = static_cast<PyObject**>(std::malloc(want * sizeof(PyObject*)));
    // Without the GIL there is no one to tell: when the queue cannot grow,
    // the reference is leaked rather than the process ended.
    if (!fresh) [[unlikely]]
      return;
    pending_refs.lock.lock();
    PyObject** spare = fresh;  // another thread may have taken or grown the queue meanwhile
    if (queue.len == queue.cap && queue.cap < want) {
      if (queue.len) std::memcpy(fresh, queue.data, queue.len * sizeof(PyObject*));
      spare = std::exchange(queue.data, fresh);
      queue.cap = want;
    }
    if (spare) {
      pending_refs.lock.unlock();
      std::free(spare);
      pending_refs.lock.lock();
    }
  }
  queue.data[queue.len++] = obj;
  pending_refs.queued.store(queue.len, std::memory_order_release);
  pending_refs.lock.unlock();
}

bool counts_touchable() noexcept { return !forced_unwind && interpreter_gil_held(); }

void take_and_apply_pending() {
  pending_refs.lock.lock();
  RefVec& queue = pending_refs.pending_decrefs;
  TakenRefs taken{queue.data, queue.len};
  queue = RefVec{};
  pending_refs.queued.store(0, std::memory_order_relaxed);
  pending_refs.lock.unlock();
  decref_all(taken.data, taken.len);
}

}  // namespace detail

bool RefVec::grow() {
  std::size_t new_cap = std::max({std::size_t{4}, cap * 2, len + 1});
  auto* grown = static_cast<PyObject**>(std::realloc(data, new_cap * sizeof(PyObject*)));
  if (!grown) return false;
  data = grown;
  cap = new_cap;
  return true;
}

bool interpreter_gil_held() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  PyThreadState* current = PyThreadState_GetUnchecked();
#else
  PyThreadState* current = _PyThreadState_UncheckedGet();
#endif
  return current && current->thread_id == PyThread_get_thread_ident();
}

void RefVec::free_storage() noexcept {
  std::free(data);
  *this = RefVec{};
}

void ByteLock::lock_contended() noexcept {
  std::uint8_t expected = 0;
  while (!word_.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
    expected = 0;
    sched_yield();
  }
}

namespace {

constinit std::atomic<std::uint8_t> interpreter_checked{0};
constinit ByteLock interpreter_check_lock;

// The assertion that Py_IsInitialized() != 0, as it reads when it fails: both
// sides are then 0, so the whole text is constant.
constexpr std::string_view not_initialized_message =
    "assertion `left != right` failed: The Python interpreter is not initialized.\n\n"
    "Consider calling `Py_Initialize()` before attempting to use Python APIs.\n"
    "  left: 0\n right: 0";

// If Ensure succeeded but the pool cannot open, the GIL state goes back as the
// panic passes, so the thread does not keep the GIL for ever.
struct EnsuredState {
  PyGILState_STATE gstate;
  bool keep = false;
  ~EnsuredState() {
    if (!keep && detail::counts_touchable()) PyGILState_Release(gstate);
  }
};

}  // namespace

void interpreter_check_once() {
  if (interpreter_checked.load(std::memory_order_acquire)) return;
  bool initialized = true;
  {
    std::lock_guard guard(interpreter_check_lock);
    if (interpreter_checked.load(std::memory_order_relaxed)) return;
    initialized = Py_IsInitialized() != 0;
    if (initialized) interpreter_checked.store(1, std::memory_order_release);
  }
  if (!initialized) panic(not_initialized_message);  // it allocates: not under the lock
}

GilEnsureGuard acquire_gil() {
  if (gil_is_held()) return GilEnsureGuard{};
  interpreter_check_once();
  if (gil_is_held()) return GilEnsureGuard{};
  EnsuredState ensured{PyGILState_Ensure()};
  OwnedPool pool = open_pool();
  ensured.keep = true;
  return GilEnsureGuard{ensured.gstate, pool};
}

void release_gil(GilEnsureGuard& guard) {
  if (!guard.taken_) return;
  auto taken = *guard.taken_;
  guard.taken_.reset();
  if (!detail::counts_touchable()) [[unlikely]] {
    // Ended by the interpreter while the guard was held: the pool's
    // references leak, and there is no GIL state left to give back.
    RefVec& list = detail::thread_state.owned_list;
    if (taken.pool.has_mark() && detail::thread_state.owned_list_state == OwnedListState::Live)
      list.len = std::min(list.len, taken.pool.start);
    detail::thread_state.gil_count -= 1;
    return;
  }
  close_pool(taken.pool);
  PyGILState_Release(taken.gstate);
}

GilEnsureGuard::~GilEnsureGuard() { release_gil(*this); }

namespace {

// fork() copies each lock as it is: one that another thread held at that
// moment would stay held in the child for ever. The forking thread takes them
// all first, so the child's copies are free and the queue is whole.
void lock_before_fork() noexcept {
  interpreter_check_lock.lock();
  detail::pending_refs.lock.lock();
}

void unlock_after_fork() noexcept {
  detail::pending_refs.lock.unlock();
  interpreter_check_lock.unlock();
}

}  // namespace

void detail::register_fork_handlers() {
  // Once per copy of the frame: each module links its own. When it cannot be
  // registered (no memory) forks are as unguarded as before, nothing worse.
  [[maybe_unused]] static const int registered =
      pthread_atfork(lock_before_fork, unlock_after_fork, unlock_after_fork);
}

void release_ref(PyObject* obj) {
  if (!gil_is_held())
    detail::defer_release(obj);
  else if (detail::counts_touchable()) [[likely]]
    detail::decref(obj);
  // else: the interpreter no longer agrees that this thread holds the GIL, and
  // the reference is leaked.
}

}  // namespace krenn
