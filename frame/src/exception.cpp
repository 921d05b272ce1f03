// Bound exception classes, and their place among the C++ exception mappings.
// Linked only into modules with one.
#include "krenn/exception.hpp"

#include <memory>
#include <string>

#include "cpp_exceptions.hpp"
#include "format.hpp"

namespace krenn {

Result<void> add_exception_item(PyObject* module, const void* record) {
  const auto& spec = *static_cast<const ExceptionSpec*>(record);
  std::string_view name = spec.name.substr(0, spec.name.size() - 1);
  PyObject* base = spec.base();
  if (!base) {
    TextBuffer text;
    text += "the base exception of '";
    text += name;
    text += "' is not bound: list it first";
    return failure(new_error_of(PyExc_ImportError, std::string(text.view())));
  }
  Result<std::string_view> module_name_ = module_name(module);
  if (!module_name_) return failure(std::move(module_name_.error()));
  // "module.Name": the class's __module__ and name, as a Python class has them.
  std::string qualified(*module_name_);
  qualified += '.';
  qualified += name;
  PyObject* type = PyErr_NewExceptionWithDoc(
      qualified.c_str(), spec.doc.size() > 1 ? spec.doc.data() : nullptr, base, nullptr);
  if (!type) return failure(fetch_error());
  Owned held(type);
  auto translator = std::make_unique<detail::ExceptionTranslator>(
      Py_NewRef(type), spec.type, spec.catches, detail::exception_translators);
  detail::exception_translators = translator.release();
  *spec.slot = type;  // the translator keeps it
  return add_named(module, name, std::move(held));
}

}  // namespace krenn
