#include "krenn/decimal.hpp"

namespace krenn::detail {

constinit PyObject* digit_strs[10] = {};

PyObject* digit_str_slow(std::uint64_t digit) {
  // The interpreter's cached singleton; the slot keeps this reference.
  PyObject* str = PyUnicode_FromOrdinal(static_cast<int>('0' + digit));
  if (!str) api_call_failed();
  digit_strs[digit] = str;
  return Py_NewRef(str);
}

}  // namespace krenn::detail
