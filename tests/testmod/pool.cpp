// Pools, GilCount and deferred releases, driven step by step from Python.
#include <thread>

#include "krenn/pool.hpp"
#include "testmod.hpp"

namespace krenn::testing {

namespace {

std::vector<OwnedPool> open_pools;

PyObject* gil_count_raw(PyObject*, PyObject*) { return PyLong_FromLongLong(gil_count()); }

PyObject* set_gil_count_raw(PyObject*, PyObject* arg) {
  long long value = PyLong_AsLongLong(arg);
  if (value == -1 && PyErr_Occurred()) return nullptr;
  detail::thread_state.gil_count = value;
  Py_RETURN_NONE;
}

PyObject* open_pool_raw(PyObject*, PyObject*) {
  open_pools.push_back(open_pool());
  const OwnedPool& pool = open_pools.back();
  if (!pool.has_mark()) Py_RETURN_NONE;
  return PyLong_FromSize_t(pool.start);
}

PyObject* close_pool_raw(PyObject*, PyObject*) {
  if (open_pools.empty()) {
    PyErr_SetString(PyExc_RuntimeError, "no pool open");
    return nullptr;
  }
  OwnedPool pool = open_pools.back();
  open_pools.pop_back();
  close_pool(pool);
  Py_RETURN_NONE;
}

PyObject* register_raw(PyObject*, PyObject* obj) {
  Py_INCREF(obj);
  register_owned(obj);
  Py_RETURN_NONE;
}

PyObject* owned_len_raw(PyObject*, PyObject*) {
  return PyLong_FromSize_t(detail::thread_state.owned_list.len);
}

PyObject* owned_state_raw(PyObject*, PyObject*) {
  return PyLong_FromLong(static_cast<long>(detail::thread_state.owned_list_state));
}

PyObject* pending_len_raw(PyObject*, PyObject*) {
  auto& pending = detail::pending_refs;
  pending.lock.lock();
  std::size_t len = pending.pending_decrefs.len;
  pending.lock.unlock();
  return PyLong_FromSize_t(len);
}

// Takes one more reference and gives it up here, whatever GilCount says.
PyObject* release_raw(PyObject*, PyObject* obj) {
  Py_INCREF(obj);
  release_ref(obj);
  Py_RETURN_NONE;
}

// Gives up `times` extra references on a native thread that has no GIL.
PyObject* release_on_native_thread(PyObject*, PyObject* args) {
  PyObject* obj;
  Py_ssize_t times = 1;
  if (!PyArg_ParseTuple(args, "O|n", &obj, &times)) return nullptr;
  for (Py_ssize_t i = 0; i < times; ++i) Py_INCREF(obj);
  Py_BEGIN_ALLOW_THREADS;
  std::thread([&] {
    for (Py_ssize_t i = 0; i < times; ++i) release_ref(obj);
  }).join();
  Py_END_ALLOW_THREADS;
  Py_RETURN_NONE;
}

// (guard taken, GilCount inside the guard, GilCount after).
PyObject* acquire_gil_here(PyObject*, PyObject*) {
  bool taken;
  std::int64_t inside;
  {
    GilEnsureGuard guard = acquire_gil();
    taken = guard.taken();
    inside = gil_count();
  }
  return Py_BuildValue("(OLL)", taken ? Py_True : Py_False, static_cast<long long>(inside),
                       static_cast<long long>(gil_count()));
}

// Constructed before the owned list's reaper, so destroyed after it: it sees
// the thread's list in the Destroyed state.
struct LateProbe {
  PyObject* obj = nullptr;
  bool close_marked_pool = false;
  OwnedPool marked{};
  bool had_mark = true;
  std::int64_t count_after = -99;
  ~LateProbe() {
    PyGILState_STATE gstate = PyGILState_Ensure();
    if (close_marked_pool) {
      close_pool(marked);  // panics: the list is gone
    } else {
      OwnedPool pool = open_pool();
      had_mark = pool.has_mark();
      Py_INCREF(obj);
      register_owned(obj);  // never released
      close_pool(pool);
      count_after = gil_count();
    }
    PyGILState_Release(gstate);
    record();
  }
  void record() const;
};

struct ProbeResult {
  bool had_mark;
  std::int64_t count_after;
};

ProbeResult probe_result;

void LateProbe::record() const { probe_result = {had_mark, count_after}; }

// Registers (obj) after the thread's list is destroyed.
PyObject* after_destruction(PyObject*, PyObject* args) {
  PyObject* obj;
  int close_marked = 0;
  if (!PyArg_ParseTuple(args, "O|p", &obj, &close_marked)) return nullptr;
  Py_BEGIN_ALLOW_THREADS;
  std::thread([&] {
    thread_local LateProbe probe;
    probe.obj = obj;
    probe.close_marked_pool = close_marked != 0;
    PyGILState_STATE gstate = PyGILState_Ensure();
    OwnedPool pool = open_pool();  // first touch: the reaper comes after the probe
    if (probe.close_marked_pool) {
      probe.marked = pool;  // left open across thread exit
    } else {
      close_pool(pool);
    }
    PyGILState_Release(gstate);
  }).join();
  Py_END_ALLOW_THREADS;
  Py_RETURN_NONE;
}

PyObject* probe_outcome(PyObject*, PyObject*) {
  return Py_BuildValue("(OL)", probe_result.had_mark ? Py_True : Py_False,
                       static_cast<long long>(probe_result.count_after));
}

Result<PyObject*> noop(PyObject*) { return none(); }

Result<PyObject*> gil_count_in_entry(PyObject*) { return PyLong_FromLongLong(gil_count()); }

}  // namespace

void add_pool_methods(Methods& out) {
  out.insert(out.end(),
             {
                 {"gil_count", gil_count_raw, METH_NOARGS, nullptr},
                 {"set_gil_count", set_gil_count_raw, METH_O, nullptr},
                 {"open_pool", open_pool_raw, METH_NOARGS, nullptr},
                 {"close_pool", close_pool_raw, METH_NOARGS, nullptr},
                 {"register", register_raw, METH_O, nullptr},
                 {"owned_len", owned_len_raw, METH_NOARGS, nullptr},
                 {"owned_state", owned_state_raw, METH_NOARGS, nullptr},
                 {"pending_len", pending_len_raw, METH_NOARGS, nullptr},
                 {"release", release_raw, METH_O, nullptr},
                 {"release_on_native_thread", release_on_native_thread, METH_VARARGS, nullptr},
                 {"acquire_gil_here", acquire_gil_here, METH_NOARGS, nullptr},
                 {"after_destruction", after_destruction, METH_VARARGS, nullptr},
                 {"probe_outcome", probe_outcome, METH_NOARGS, nullptr},
                 def<noop>("noop"),
                 def<gil_count_in_entry>("gil_count_in_entry"),
             });
}

}  // namespace krenn::testing
