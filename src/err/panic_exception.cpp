#include "err/panic_exception.hpp"

#include <unistd.h>

#include <cstring>
#include <string>

#include "err/format.hpp"
#include "sync.hpp"

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

// Set while this thread makes the type: class creation fetches errors of its
// own, and each fetch asks for the type, which must not start a second creation.
constinit thread_local bool creating_type = false;

struct CreatingFlag {
  CreatingFlag() noexcept { creating_type = true; }
  ~CreatingFlag() { creating_type = false; }
  CreatingFlag(const CreatingFlag&) = delete;
  CreatingFlag& operator=(const CreatingFlag&) = delete;
};

std::string nul_terminated(std::string_view text, std::string_view what) {
  if (auto pos = text.find('\0'); pos != std::string_view::npos) {
    std::string message(what);
    message += ": nul byte found in provided data at position: ";
    message += std::to_string(pos);
    message += ", bytes: ";
    for (unsigned char c : text) message += std::to_string(c) + ",";
    panic_owned(std::move(message));
  }
  return std::string(text);
}

[[gnu::cold]] PyObject* make_panic_exception_type() {
  PyObject* base = PyExc_BaseException;
  if (!base) api_call_failed();
  Result<PyObject*> made = [&] {
    CreatingFlag flag;
    return new_exception_type(qualified_name, doc, base);
  }();
  if (!made) {
    std::string message = "Failed to initialize new exception type.: ";
    (void)debug_error(made.error(), message);
    panic_owned(std::move(message));
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

PyObject* panic_exception_type() {
  if (PyObject* type = panic_exception_slot.get()) [[likely]]
    return type;
  // An error fetched while this thread makes the type cannot be a
  // PanicException, since none exists yet.
  if (creating_type) return nullptr;
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
  if (!type) return failure(fetch_error());
  return type;
}

PyErr error_from_panic(PanicPayload payload) noexcept {
  if (auto* owned = std::get_if<std::string>(&payload.value))
    return new_panic_exception(std::string(*owned));
  if (auto* constant = std::get_if<std::string_view>(&payload.value))
    return new_panic_exception(std::string(*constant));
  return new_panic_exception(non_text_message);
}

void resume_panic(PyObject* type, PyObject* value, PyObject* traceback) {
  // A restored lazy PanicException is pending as (type, args): the message is
  // the instance's text, not the args tuple's.
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string message(unwrapped_message);
  if (value) {
    if (PyObject* str = PyObject_Str(value)) {
      register_owned(str);
      message = std::string(text_lossy(str).view());
    } else {
      drop_error(fetch_error());
    }
  }
  write_stderr(resume_banner);
  write_stderr(trace_banner);
  restore_error(PyErr(PyErr::Raw{RefTriple(type, value, traceback)}));
  PyErr_PrintEx(0);
  resume_unwind(PanicPayload{std::move(message)});
}

}  // namespace krenn
