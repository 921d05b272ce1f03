#include "krenn/runtime.hpp"

#include <Python.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace krenn {

namespace {

void write_stderr(std::string_view text) noexcept {
  std::fwrite(text.data(), 1, text.size(), stderr);
}

void write_number(unsigned long long n) noexcept { std::fprintf(stderr, "%llu", n); }

std::string_view payload_text(const PanicPayload& payload) noexcept {
  if (auto* owned = std::get_if<std::string>(&payload.value)) return *owned;
  if (auto* constant = std::get_if<std::string_view>(&payload.value)) return *constant;
  return "<a panic payload that is not text>";
}

[[noreturn]] void raise(PanicPayload payload, std::source_location where) {
  report_panic(payload_text(payload), where);
  throw Panic{std::move(payload)};
}

}  // namespace

void report_panic(std::string_view message, std::source_location where) noexcept {
  // The main thread is the one whose id is the process id.
  bool main_thread = ::syscall(SYS_gettid) == ::getpid();
  ::flockfile(stderr);
  write_stderr("thread '");
  write_stderr(main_thread ? "main" : "<unnamed>");
  write_stderr("' panicked at ");
  write_stderr(where.file_name());
  write_stderr(":");
  write_number(where.line());
  write_stderr(":");
  write_number(where.column());
  write_stderr(":\n");
  write_stderr(message);
  write_stderr("\n");
  ::funlockfile(stderr);
}

void panic(std::string_view constant_text, std::source_location where) {
  raise(PanicPayload{constant_text}, where);
}

void panic_owned(std::string text, std::source_location where) {
  raise(PanicPayload{std::move(text)}, where);
}

void panic_any(std::any value, std::source_location where) {
  raise(PanicPayload{std::move(value)}, where);
}

void resume_unwind(PanicPayload payload) { throw Panic{std::move(payload), true}; }

void fatal_error(std::string_view message) noexcept {
  write_stderr("fatal runtime error: ");
  write_stderr(message);
  write_stderr("\n");
  std::abort();
}

void out_of_memory() { throw OutOfMemory{}; }

void api_call_failed() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    out_of_memory();
  }
  PyErr_Print();
  panic("Python API call failed");
}

}  // namespace krenn
