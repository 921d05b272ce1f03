#include "once.hpp"

#include "krenn/pool.hpp"
#include "strings.hpp"

namespace krenn {

PyObject* OnceSlot::set_or_release(PyObject* obj) {
  if (PyObject* first = get()) {
    release_ref(obj);
    return first;
  }
  obj_.store(obj, std::memory_order_release);
  return obj;
}

PyObject* InternedName::fill() {
  PyObject* name = intern_text(name_);  // a pool reference
  Py_INCREF(name);                      // and one for the slot
  return slot_.set_or_release(name);
}

}  // namespace krenn
