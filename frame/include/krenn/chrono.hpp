// std::chrono::duration, both ways. A parameter takes a datetime.timedelta or
// a number of seconds (int, float, or what float() takes); a result is a
// timedelta, rounded to microseconds half to even as timedelta rounds. A value
// past either type's range is OverflowError.
#pragma once

#include <Python.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <ratio>
#include <string_view>
#include <type_traits>

#include "krenn/converter.hpp"

namespace krenn {

namespace detail {

__extension__ using Int128 = __int128;

// Microseconds, exact, from a timedelta or an int; or seconds from any other number.
struct DurationValue {
  Int128 micros = 0;
  double seconds = 0;
  bool is_seconds = false;
};

[[nodiscard]] Result<DurationValue> argument_to_duration(PyObject* obj, std::string_view name);
[[nodiscard]] Result<PyObject*> timedelta_from_micros(Int128 micros);
// OverflowError, or for NaN to an integer type, ValueError.
[[nodiscard, gnu::cold]] PyErr duration_out_of_range(bool is_nan);

}  // namespace detail

template <typename Rep, typename Period>
struct Converter<std::chrono::duration<Rep, Period>> {
  using D = std::chrono::duration<Rep, Period>;
  static constexpr std::string_view python_name = "datetime.timedelta | float";
  static constexpr std::string_view result_name = "datetime.timedelta";
  // Ticks per microsecond.
  using PerMicro = std::ratio_divide<std::micro, Period>;

  [[nodiscard]] static bool from_micros(detail::Int128 micros, D& out) noexcept {
    if constexpr (std::is_floating_point_v<Rep>) {
      out = D(static_cast<Rep>(static_cast<long double>(micros) * PerMicro::num / PerMicro::den));
      return true;
    } else {
      detail::Int128 ticks;
      if (__builtin_mul_overflow(micros, detail::Int128{PerMicro::num}, &ticks)) return false;
      ticks /= PerMicro::den;  // toward zero, as duration_cast
      if (ticks < std::numeric_limits<Rep>::min() || ticks > std::numeric_limits<Rep>::max())
        return false;
      out = D(static_cast<Rep>(ticks));
      return true;
    }
  }
  [[nodiscard]] static bool from_seconds(double seconds, D& out) noexcept {
    long double ticks = static_cast<long double>(seconds) * Period::den / Period::num;
    if constexpr (std::is_integral_v<Rep>) {
      // 2**(digits) is exact as a long double: the range check is too.
      constexpr long double limit = static_cast<long double>(std::numeric_limits<Rep>::max()) + 1;
      if (!(ticks > -limit - 1 && ticks < limit)) return false;
    }
    out = D(static_cast<Rep>(ticks));
    return true;
  }

  [[nodiscard]] static bool exact(PyObject* obj, D& out) noexcept {
    return PyFloat_CheckExact(obj) && from_seconds(PyFloat_AS_DOUBLE(obj), out);
  }
  [[nodiscard]] static Result<D> convert(PyObject* obj, std::string_view name) {
    Result<detail::DurationValue> value = detail::argument_to_duration(obj, name);
    if (!value) [[unlikely]]
      return failure(std::move(value.error()));
    D out;
    if (value->is_seconds ? from_seconds(value->seconds, out) : from_micros(value->micros, out))
        [[likely]]
      return out;
    return failure(detail::duration_out_of_range(value->is_seconds && std::isnan(value->seconds)));
  }

  [[nodiscard]] static Result<PyObject*> to_python(D value) {
    if constexpr (std::is_floating_point_v<Rep>) {
      long double micros = static_cast<long double>(value.count()) / PerMicro::num * PerMicro::den;
      micros = std::nearbyint(micros);  // half to even, the default rounding
      // Far past timedelta's range, which the conversion then checks exactly.
      if (!(std::fabs(micros) < 1e30L)) [[unlikely]]
        return failure(detail::duration_out_of_range(std::isnan(micros)));
      return detail::timedelta_from_micros(static_cast<detail::Int128>(micros));
    } else {
      // count * num / den microseconds, rounded half to even.
      constexpr detail::Int128 num = PerMicro::den, den = PerMicro::num;
      detail::Int128 scaled = detail::Int128{value.count()} * num;
      detail::Int128 micros = scaled / den, rest = scaled % den;
      if (rest < 0) rest = -rest;
      if (2 * rest > den || (2 * rest == den && micros % 2 != 0)) micros += scaled < 0 ? -1 : 1;
      return detail::timedelta_from_micros(micros);
    }
  }
};

}  // namespace krenn
