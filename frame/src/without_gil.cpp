#include "krenn/without_gil.hpp"

#include <cxxabi.h>

namespace krenn::detail {

void restore_thread_unwinding(SavedThread saved) {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    throw;  // the thread ends; it must not wait for the GIL on its way out
  } catch (...) {
    restore_thread(saved);
  }
}

}  // namespace krenn::detail
