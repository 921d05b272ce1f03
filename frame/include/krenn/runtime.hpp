// Runtime support: panics, their reports, and fatal ends of the process.
#pragma once

#include <any>
#include <cstddef>
#include <source_location>
#include <string>
#include <string_view>
#include <variant>

namespace krenn {

// What a panic carries. The three kinds matter when the panic is turned into a
// Python exception: texts keep their message, anything else gets a default one.
struct PanicPayload {
  std::variant<std::string, std::string_view, std::any> value;
};

// Thrown by panic() and caught only by the entry trampoline. It does not derive
// from std::exception so that no generic handler swallows it on the way.
struct Panic {
  PanicPayload payload;
  // Set when a PanicException came back from Python code and carries it on.
  bool resumed = false;
};

// Memory ran out where the interpreter reported MemoryError or an allocation of
// the frame failed. Not a panic: no report; the entry raises MemoryError.
struct OutOfMemory {};

// Each writes the panic report to standard error, then unwinds.
[[noreturn]] void panic(std::string_view constant_text,
                        std::source_location where = std::source_location::current());
[[noreturn]] void panic_owned(std::string text,
                              std::source_location where = std::source_location::current());
[[noreturn]] void panic_any(std::any value,
                            std::source_location where = std::source_location::current());

// Carries on a panic whose report was already given: no second report.
[[noreturn]] void resume_unwind(PanicPayload payload);

// The report alone: "thread '<name>' panicked at <file>:<line>:<column>:" and the message.
void report_panic(std::string_view message, std::source_location where) noexcept;

// Prints "fatal runtime error: <message>" and aborts.
[[noreturn]] void fatal_error(std::string_view message) noexcept;

[[noreturn]] void out_of_memory();

// For CPython calls the frame treats as unable to fail. A pending MemoryError
// becomes OutOfMemory (the caller gets MemoryError); anything else is printed
// and panics.
[[noreturn]] void api_call_failed();

}  // namespace krenn
