// Native threads for stress tests: they give up references through
// release_ref with no GIL and no pool, while Python threads keep calling in.
#include <chrono>
#include <memory>
#include <thread>

#include "krenn/pool.hpp"
#include "testmod.hpp"

namespace krenn::testing {

namespace {

std::vector<std::thread> releasers;  // changed only with the GIL held

// release_from_threads(objects, threads, rounds, pause_us): takes `rounds`
// references to each object of the list, empties it, and starts `threads`
// native threads that give them all up, pausing pause_us between releases.
// Returns at once. Emptying comes first, so that no release by the caller
// can be the last one.
PyObject* release_from_threads(PyObject*, PyObject* args) {
  PyObject* objects;
  Py_ssize_t threads, rounds, pause_us;
  if (!PyArg_ParseTuple(args, "O!nnn", &PyList_Type, &objects, &threads, &rounds, &pause_us))
    return nullptr;
  if (threads < 1 || rounds < 1 || pause_us < 0) {
    PyErr_SetString(PyExc_ValueError, "threads and rounds must be positive");
    return nullptr;
  }
  // One entry per reference, an object's references next to each other, so
  // that the round-robin split hands them to different threads.
  auto work = std::make_shared<std::vector<PyObject*>>();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(objects); ++i) {
    PyObject* obj = PyList_GET_ITEM(objects, i);
    for (Py_ssize_t r = 0; r < rounds; ++r) {
      Py_INCREF(obj);
      work->push_back(obj);
    }
  }
  if (PyList_SetSlice(objects, 0, PyList_GET_SIZE(objects), nullptr) != 0) return nullptr;
  auto stride = static_cast<std::size_t>(threads);
  auto pause = std::chrono::microseconds(pause_us);
  for (std::size_t k = 0; k < stride; ++k) {
    releasers.emplace_back([work, k, stride, pause] {
      for (std::size_t j = k; j < work->size(); j += stride) {
        release_ref((*work)[j]);
        if (pause.count() > 0) std::this_thread::sleep_for(pause);
      }
    });
  }
  Py_RETURN_NONE;
}

// Waits, without the GIL and without opening a pool, for every releaser;
// returns how many there were.
PyObject* join_releasers(PyObject*, PyObject*) {
  std::vector<std::thread> joining = std::move(releasers);
  releasers.clear();
  Py_BEGIN_ALLOW_THREADS;
  for (std::thread& thread : joining) thread.join();
  Py_END_ALLOW_THREADS;
  return PyLong_FromSize_t(joining.size());
}

}  // namespace

void add_stress_methods(Methods& out) {
  out.insert(out.end(), {
                            {"release_from_threads", release_from_threads, METH_VARARGS, nullptr},
                            {"join_releasers", join_releasers, METH_NOARGS, nullptr},
                        });
}

}  // namespace krenn::testing
