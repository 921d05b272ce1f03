// The thread's GIL count, the pool of owned references, and releases made
// without the GIL. Everything on the call path is inline; growth, first touch
// and the deferred queue are out of line.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "krenn/runtime.hpp"

namespace krenn {

// A growable array of references. It lives in thread-local and static storage
// that must be constant-initialized, so it has no destructor: its owner frees it.
struct RefVec {
  PyObject** data = nullptr;
  std::size_t len = 0;
  std::size_t cap = 0;

  // False when the storage could not grow; nothing is stored then.
  [[nodiscard]] bool try_push(PyObject* obj) {
    if (len == cap && !grow()) [[unlikely]]
      return false;
    data[len++] = obj;
    return true;
  }
  [[nodiscard]] bool grow();
  void free_storage() noexcept;
};

enum class OwnedListState : std::uint8_t { Fresh = 0, Live = 1, Destroyed = 2 };

// A lock over one byte: 0 unlocked, 1 locked. It is held for a few
// instructions, so a thread that finds it taken yields until it is free.
class ByteLock {
 public:
  void lock() noexcept {
    std::uint8_t expected = 0;
    if (!word_.compare_exchange_strong(expected, 1, std::memory_order_acquire)) [[unlikely]]
      lock_contended();
  }
  void unlock() noexcept { word_.store(0, std::memory_order_release); }

 private:
  void lock_contended() noexcept;
  std::atomic<std::uint8_t> word_{0};
};

struct PendingRefs {
  ByteLock lock;
  RefVec pending_decrefs;
  // The queue's length, written under the lock: an entry finds an empty
  // queue without taking it.
  std::atomic<std::size_t> queued{0};
};

namespace detail {

// initial-exec: the module is loaded once and never unloaded, and this keeps
// each access a single instruction instead of a call into the TLS resolver.
// One object, so that an entry finds all of it from one thread-pointer offset.
struct ThreadState {
  std::int64_t gil_count = 0;
  RefVec owned_list{};
  OwnedListState owned_list_state = OwnedListState::Fresh;
};
extern constinit thread_local ThreadState thread_state [[gnu::tls_model("initial-exec")]];
extern constinit PendingRefs pending_refs;

[[noreturn]] void gil_prohibited(std::int64_t count);
void touch_owned_list();  // registers the thread-exit destructor on first use
void take_and_apply_pending();
void release_owned_from(std::size_t start);
void register_owned_slow(PyObject* obj);
void defer_release(PyObject* obj);
[[noreturn]] void owned_list_destroyed();
// Keeps the frame's locks free in a forked child; called when a module is made.
void register_fork_handlers();

// Set by the entry that sees this thread's forced unwind go past.
extern constinit thread_local bool forced_unwind [[gnu::tls_model("initial-exec")]];
// The one rule for every holder of a reference, for when the frame's count
// says held: a thread that the interpreter ends at exit unwinds with its count
// up but without the GIL, and must leak what it holds rather than touch a count.
[[nodiscard]] bool counts_touchable() noexcept;

inline void decref(PyObject* obj) noexcept { Py_DECREF(obj); }

}  // namespace detail

// Mark in the owned list; absent when the list was already destroyed. A plain
// index with a value for "absent" keeps an entry's frame a register smaller.
struct OwnedPool {
  static constexpr std::size_t no_mark = SIZE_MAX;
  std::size_t start = no_mark;

  [[nodiscard]] bool has_mark() const noexcept { return start != no_mark; }
};

[[nodiscard]] inline std::int64_t gil_count() noexcept { return detail::thread_state.gil_count; }
// Whether this thread holds the interpreter's GIL right now, whatever the
// frame's count says.
[[nodiscard]] bool interpreter_gil_held() noexcept;
[[nodiscard]] inline bool gil_is_held() noexcept { return detail::thread_state.gil_count > 0; }

inline void apply_pending() {
  if (detail::pending_refs.queued.load(std::memory_order_acquire) != 0) [[unlikely]]
    detail::take_and_apply_pending();
}

[[nodiscard]] inline OwnedPool open_pool() {
  std::int64_t count = detail::thread_state.gil_count;
  if (count < 0) [[unlikely]]
    detail::gil_prohibited(count);
  detail::thread_state.gil_count = count + 1;
  apply_pending();
  if (detail::thread_state.owned_list_state != OwnedListState::Live) [[unlikely]] {
    detail::touch_owned_list();
    if (detail::thread_state.owned_list_state == OwnedListState::Destroyed) return OwnedPool{};
  }
  return OwnedPool{.start = detail::thread_state.owned_list.len};
}

inline void close_pool(OwnedPool pool) {
  if (pool.has_mark()) [[likely]] {
    if (detail::thread_state.owned_list_state != OwnedListState::Live) [[unlikely]] {
      detail::touch_owned_list();
      if (detail::thread_state.owned_list_state == OwnedListState::Destroyed)
        detail::owned_list_destroyed();
    }
    RefVec& list = detail::thread_state.owned_list;
    // Most calls register nothing; of the rest, most register one reference.
    if (list.len != pool.start) [[unlikely]] {
      if (list.len == pool.start + 1) {
        PyObject* obj = list.data[--list.len];
        detail::decref(obj);
      } else if (list.len > pool.start) {
        detail::release_owned_from(pool.start);
      }
    }
  }
  detail::thread_state.gil_count -= 1;
}

// Takes over one new reference; the innermost open pool releases it.
inline void register_owned(PyObject* obj) {
  auto& list = detail::thread_state.owned_list;
  if (detail::thread_state.owned_list_state != OwnedListState::Live || list.len == list.cap)
      [[unlikely]]
    return detail::register_owned_slow(obj);
  list.data[list.len++] = obj;
}

// Gives up one reference: at once with the GIL, queued without it, leaked by
// a thread that the interpreter is ending. Out of line: it asks the
// interpreter whose thread this is, and holders release on error paths.
void release_ref(PyObject* obj);

// A borrowed reference: valid while whoever lent it keeps the object, which
// for a parameter is the whole call.
class Handle {
 public:
  constexpr Handle() noexcept = default;
  constexpr explicit Handle(PyObject* obj) noexcept : obj_(obj) {}
  [[nodiscard]] constexpr PyObject* get() const noexcept { return obj_; }
  constexpr explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// One owned reference, released once on every path, through release_ref, so
// that dropping it without the GIL is safe. Bodies know it as krenn::Object.
class Owned {
 public:
  constexpr Owned() noexcept = default;
  // Takes over a new reference.
  explicit Owned(PyObject* obj) noexcept : obj_(obj) {}
  [[nodiscard]] static Owned steal(PyObject* obj) noexcept { return Owned(obj); }
  // Takes a reference of its own.
  [[nodiscard]] static Owned borrow(PyObject* obj) noexcept { return Owned(Py_NewRef(obj)); }
  Owned(Owned&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Owned& operator=(Owned&& other) noexcept {
    Owned old(std::exchange(obj_, std::exchange(other.obj_, nullptr)));
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() {
    if (obj_) release_ref(obj_);
  }

  [[nodiscard]] PyObject* get() const noexcept { return obj_; }
  [[nodiscard]] Handle handle() const noexcept { return Handle(obj_); }
  // Hands the reference over; empty after.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

[[nodiscard]] inline Owned new_ref(PyObject* obj) noexcept {
  Py_INCREF(obj);
  return Owned(obj);
}

// Holds the GIL for code that may run on a thread without it. Empty when the
// thread already held the GIL through the frame.
class GilEnsureGuard {
 public:
  GilEnsureGuard() noexcept = default;
  GilEnsureGuard(PyGILState_STATE gstate, OwnedPool pool) noexcept : taken_(Taken{pool, gstate}) {}
  GilEnsureGuard(const GilEnsureGuard&) = delete;
  GilEnsureGuard& operator=(const GilEnsureGuard&) = delete;
  ~GilEnsureGuard();

  [[nodiscard]] bool taken() const noexcept { return taken_.has_value(); }

 private:
  friend void release_gil(GilEnsureGuard& guard);
  struct Taken {
    OwnedPool pool;
    PyGILState_STATE gstate;
  };
  std::optional<Taken> taken_;
};

[[nodiscard]] GilEnsureGuard acquire_gil();
void release_gil(GilEnsureGuard& guard);
void interpreter_check_once();

}  // namespace krenn
