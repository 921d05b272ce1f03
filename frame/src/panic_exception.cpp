#include "panic_exception.hpp"

#include <unistd.h>

#include <cstring>
#include <string>

#include "format.hpp"
#include "once.hpp"
#include "text.hpp"

namespace krenn {

namespace {

constinit OnceSlot panic_exception_slot;

constexpr std::string_view qualified_name = "krenn_runtime.PanicException";
constexpr std::string_view doc =
    "\nThe exception raised when C++ code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr std::string_view non_text_message = "panic from C++ code";
constexpr std::string_view unwrapped_message = "Unwrapped panic from Python code";
constexpr std::string_view resume_banner =
    "--- Krenn is resuming a panic after fetching a PanicException from Python. ---\n";
constexpr std::string_view trace_banner = "Python stack trace below:\n";

std::string nul_terminated(std::string_view text, std::string_view what) {
  if (auto pos = text.find('\0'); pos != std::string_view::npos) [[unlikely]] {
    TextBuffer message;
    message += what;
    message += ": nul byte found in provided data at position: ";
    message.append_number(pos);
    message += ", bytes: ";
    for (unsigned char c : text) {
      message.append_number(c);
      message += ',';
    }
    panic_owned(std::string(message.view()));
  }
  return std::string(text);
}

[[gnu::cold]] PyObject* make_panic_exception_type() {
  PyObject* base = PyExc_BaseException;
  if (!base) api_call_failed();
  // Making the class can run Python code (a gc callback, say) that converts a
  // panic on this thread and so makes and stores the type first: the first
  // stored type wins.
  Result<PyObject*> made = new_exception_type(qualified_name, doc, base);
  if (!made) {
    if (is_memory_error(made.error())) out_of_memory();
    TextBuffer message;
    message += "Failed to initialize new exception type.: ";
    (void)debug_error(made.error(), message);
    panic_owned(std::string(message.view()));
  }
  return panic_exception_slot.set_or_release(*made);
}

void write_stderr(std::string_view text) noexcept {
  while (!text.empty()) {
    ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

bool panic_exception_type_ready() noexcept { return panic_exception_slot.get() != nullptr; }

PyObject* panic_exception_type_if_made() noexcept { return panic_exception_slot.get(); }

PyObject* panic_exception_type() {
  if (PyObject* type = panic_exception_slot.get()) [[likely]]
    return type;
  return make_panic_exception_type();
}

Result<PyObject*> new_exception_type(std::string_view name, std::optional<std::string_view> doc,
                                     PyObject* base) {
  std::string name_copy =
      nul_terminated(name, "Failed to initialize nul terminated exception name");
  std::optional<std::string> doc_copy;
  if (doc) doc_copy = nul_terminated(*doc, "Failed to initialize nul terminated docstring");
  PyObject* type = PyErr_NewExceptionWithDoc(name_copy.c_str(),
                                             doc_copy ? doc_copy->c_str() : nullptr, base, nullptr);
  // Fetching must not make PanicException: this may be that type's creation.
  if (!type) return failure(fetch_error_without_creating());
  return type;
}

PyErr error_from_panic(PanicPayload payload) {
  if (auto* owned = std::get_if<std::string>(&payload.value))
    return new_panic_exception(std::string(*owned));
  if (auto* constant = std::get_if<std::string_view>(&payload.value))
    return new_panic_exception(std::string(*constant));
  return new_panic_exception(non_text_message);
}

void resume_panic(PyObject* type, PyObject* value, PyObject* traceback) {
  // Owned here until restored, so a panic that leaves early releases them.
  RefTriple refs(type, value, traceback);
  std::string message(unwrapped_message);
  if (value) {
    // A restored lazy PanicException is pending as (type, args): the message
    // is the instance's text, not the args tuple's.
    refs.normalize();
    if (PyObject* str = PyObject_Str(refs.value())) {
      register_owned(str);
      message = std::string(text_lossy(str).view());
    } else {
      // Dropped as it is: fetching it as an error would resume a panic again
      // if str() raised PanicException.
      PyObject *t, *v, *tb;
      PyErr_Fetch(&t, &v, &tb);
      RefTriple dropped(t, v, tb);
    }
  }
  write_stderr(resume_banner);
  write_stderr(trace_banner);
  auto raw = refs.release();
  PyErr_Restore(raw.type, raw.value, raw.traceback);
  PyErr_PrintEx(0);
  resume_unwind(PanicPayload{std::move(message)});
}

}  // namespace krenn
