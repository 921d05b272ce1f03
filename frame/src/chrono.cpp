// Durations: timedelta through the datetime module's C API, numbers of
// seconds through the number protocols.
#include <Python.h>
// After Python.h, which it needs.
#include <datetime.h>

#include "krenn/arguments.hpp"
#include "krenn/chrono.hpp"
#include "krenn/floats.hpp"

namespace krenn::detail {

namespace {

constexpr Int128 micros_per_second = 1'000'000;
constexpr Int128 micros_per_day = 86'400 * micros_per_second;

// The datetime module's C API, imported on first use.
[[nodiscard]] bool datetime_api() {
  if (!PyDateTimeAPI) PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
}

}  // namespace

Result<DurationValue> argument_to_duration(PyObject* obj, std::string_view name) {
  if (!datetime_api()) return failure(fetch_error());
  if (PyDelta_Check(obj)) {
    Int128 days = PyDateTime_DELTA_GET_DAYS(obj);
    Int128 seconds = PyDateTime_DELTA_GET_SECONDS(obj);
    return DurationValue{.micros = days * micros_per_day + seconds * micros_per_second +
                                   PyDateTime_DELTA_GET_MICROSECONDS(obj)};
  }
  if (PyLong_Check(obj)) {
    long long seconds = PyLong_AsLongLong(obj);
    if (seconds == -1 && PyErr_Occurred()) return failure(fetch_error());
    return DurationValue{.micros = Int128{seconds} * micros_per_second};
  }
  Result<double> seconds = argument_to_double(obj, name);
  if (!seconds) return failure(std::move(seconds.error()));
  return DurationValue{.seconds = *seconds, .is_seconds = true};
}

Result<PyObject*> timedelta_from_micros(Int128 micros) {
  if (!datetime_api()) return result_failed();
  Int128 days = micros / micros_per_day, rest = micros % micros_per_day;
  if (rest < 0) {
    rest += micros_per_day;
    --days;
  }
  if (days > 999'999'999 || days < -999'999'999) [[unlikely]]
    return failure(duration_out_of_range(false));
  PyObject* delta = PyDateTimeAPI->Delta_FromDelta(
      static_cast<int>(days), static_cast<int>(rest / micros_per_second),
      static_cast<int>(rest % micros_per_second), 1, PyDateTimeAPI->DeltaType);
  if (!delta) return result_failed();
  return delta;
}

PyErr duration_out_of_range(bool is_nan) {
  PyErr_SetString(is_nan ? PyExc_ValueError : PyExc_OverflowError,
                  is_nan ? "cannot convert float NaN to integer" : "duration out of range");
  return fetch_error();
}

}  // namespace krenn::detail
