// The out-of-line half of std::function parameters: references taken on any
// thread, and the errors.
#include "krenn/callback.hpp"

#include <cstdint>
#include <new>
#include <vector>

#include "text.hpp"

namespace krenn::detail {

void incref_anywhere(PyObject* obj) {
  if (gil_is_held()) {
    Py_INCREF(obj);
    return;
  }
  GilEnsureGuard gil = acquire_gil();
  Py_INCREF(obj);
}

PyErr not_callable(PyObject* obj, std::string_view name) {
  TextBuffer text;
  text += "argument '";
  text += name;
  text += "': '";
  text += Py_TYPE(obj)->tp_name;
  text += "' object is not callable";
  // As every conversion error: no context of its own.
  return new_caused_type_error(text.view(), std::nullopt);
}

void throw_result_error(PyObject* callable, PyObject* result, std::string_view expected,
                        PyErr cause) {
  TextBuffer text;
  text += "callback ";
  // Its __qualname__ where it has one (functions, krenn's too), else its type's.
  Owned name(PyObject_GetAttrString(callable, "__qualname__"));
  const char* utf8 = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
  PyErr_Clear();
  text += utf8 ? utf8 : Py_TYPE(callable)->tp_name;
  text += ": its '";
  text += Py_TYPE(result)->tp_name;
  text += "' result does not convert to ";
  text += expected;
  throw python_error(new_caused_type_error(text.view(), std::move(cause)));
}

namespace {

constexpr const char* capsule_name = "krenn.function";

}  // namespace

Result<PyObject*> new_cpp_callable(PyMethodDef& def, void* function, PyCapsule_Destructor destroy) {
  Owned capsule(PyCapsule_New(function, capsule_name, nullptr));
  if (!capsule) return failure(fetch_error());
  PyObject* callable = PyCFunction_NewEx(&def, capsule.get(), nullptr);
  if (!callable) return failure(fetch_error());
  // Only now does the capsule own the function: on failure the caller still does.
  if (PyCapsule_SetDestructor(capsule.get(), destroy) != 0) api_call_failed();
  return callable;
}

void* cpp_callable_function(PyObject* capsule) noexcept {
  return PyCapsule_GetPointer(capsule, capsule_name);
}

PyErr callable_arity_error(std::size_t expected, Py_ssize_t given) {
  TextBuffer text;
  text += "callback() takes ";
  text.append_number(expected);
  text += expected == 1 ? " positional argument but " : " positional arguments but ";
  text.append_number(static_cast<std::uint64_t>(given));
  text += given == 1 ? " was given" : " were given";
  return type_error_from_text(text.view());
}

}  // namespace krenn::detail

// The records of the krenn functions that C++ may call directly, which the
// linker gathers from every source of the module; absent where none is.
extern "C" {
[[gnu::weak, gnu::visibility("hidden")]] extern krenn::DirectCall __start_krenn_direct[];
[[gnu::weak, gnu::visibility("hidden")]] extern krenn::DirectCall __stop_krenn_direct[];
}

namespace krenn {

namespace {

// The function objects found to be such functions, by object: an
// open-addressed table, written and read with the GIL held. Each is held for
// the rest of the process, so no other object can take its address.
struct DirectEntry {
  PyObject* function;
  const DirectCall* call;
};
constinit std::vector<DirectEntry> direct_table;
constinit std::size_t direct_count = 0;

std::size_t slot_of(PyObject* obj, std::size_t mask) noexcept {
  return static_cast<std::size_t>(
             (reinterpret_cast<std::uintptr_t>(obj) >> 4) * 0x9E3779B97F4A7C15ULL >> 32) &
         mask;
}

void put_direct(std::vector<DirectEntry>& table, DirectEntry entry) noexcept {
  const std::size_t mask = table.size() - 1;
  std::size_t at = slot_of(entry.function, mask);
  while (table[at].function) at = (at + 1) & mask;
  table[at] = entry;
}

// Remembers function as calling call; without memory, it is simply called
// through Python.
void remember(PyObject* function, const DirectCall& call) noexcept {
  try {
    // At most half full.
    if (2 * (direct_count + 1) > direct_table.size()) {
      std::vector<DirectEntry> grown(direct_table.empty() ? 16 : 2 * direct_table.size());
      for (const DirectEntry& entry : direct_table)
        if (entry.function) put_direct(grown, entry);
      direct_table.swap(grown);
    }
    put_direct(direct_table, {Py_NewRef(function), &call});
    ++direct_count;
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

namespace detail {

const DirectCall* direct_call_of(PyObject* obj) noexcept {
  const std::vector<DirectEntry>& table = direct_table;
  if (!table.empty()) {
    const std::size_t mask = table.size() - 1;
    for (std::size_t at = slot_of(obj, mask); table[at].function; at = (at + 1) & mask)
      if (table[at].function == obj) return table[at].call;
  }
  if (!__start_krenn_direct) return nullptr;
  using Any = void (*)();
  auto entry = reinterpret_cast<Any>(PyCFunction_GET_FUNCTION(obj));
  for (const DirectCall* call = __start_krenn_direct; call != __stop_krenn_direct; ++call)
    if (reinterpret_cast<Any>(call->entry) == entry) {
      remember(obj, *call);
      return call;
    }
  return nullptr;
}

}  // namespace detail

}  // namespace krenn
