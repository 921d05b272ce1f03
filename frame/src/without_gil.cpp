#include "krenn/without_gil.hpp"

#include <exception>

namespace krenn::detail {

void restore_thread_unwinding(SavedThread saved) {
  // A forced unwind is the one exception here that is not C++'s: the thread
  // ends, and must not wait for the GIL on its way out. Told by that alone, as
  // at the entry: catching it by its ABI type binds a reference to an object
  // that does not exist.
  if (std::current_exception()) restore_thread(saved);
}

}  // namespace krenn::detail
