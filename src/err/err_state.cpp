#include "err/err_state.hpp"

#include "err/err.hpp"
#include "err/format.hpp"
#include "err/panic_exception.hpp"

namespace krenn {

namespace {

using Built = ErrBuilder::Built;

Built build_kind(builders::FixedType& b) {
  PyObject* type = exception_type_ref(*b.type_global);
  return {type, new_str_value(b.text)};
}

Built build_kind(builders::OwnedTypeError& b) {
  PyObject* type = exception_type_ref(PyExc_TypeError);
  std::string text = std::move(b.text);
  return {type, new_str_value(text)};
}

Built build_kind(builders::WithType& b) {
  PyObject* type = b.type.release();
  return {type, new_str_value(b.text)};
}

Built build_kind(builders::FromValue& b) { return {b.object.release(), b.none.release()}; }

Built build_kind(builders::PanicMessage& b) {
  PyObject* type = panic_exception_type();
  if (!type) api_call_failed();  // only while this thread is still making it
  Py_INCREF(type);
  PyObject* args = PyTuple_New(1);
  if (!args) api_call_failed();
  MessageText text = std::move(b.text);
  PyObject* message = new_str_value(message_view(text));
  text = std::string_view{};
  PyTuple_SET_ITEM(args, 0, message);
  return {type, args};
}

Built build_kind(builders::Conversion& b) {
  PyObject* type = exception_type_ref(PyExc_TypeError);
  return {type, conversion_error_message(std::move(b.source_type), std::move(b.target))};
}

}  // namespace

PyErr::PyErr(State state) : state_(std::make_unique<State>(std::move(state)).release()) {}

void PyErr::Drop::operator()(State* state) const noexcept { std::default_delete<State>()(state); }

PyErr::State PyErr::take_state() noexcept {
  return std::exchange(*state_, State{std::in_place_type<Normalizing>});
}

void PyErr::set_state(State state) noexcept { *state_ = std::move(state); }

ErrBuilder::Built ErrBuilder::build() && {
  return std::visit([](auto& kind) { return build_kind(kind); }, kind_);
}

}  // namespace krenn
