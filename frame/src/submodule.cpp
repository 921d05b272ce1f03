// Constants and submodules, the module items that hold no code of their own.
#include "krenn/submodule.hpp"

#include <string>

#include "krenn/constant.hpp"
#include "text.hpp"

namespace krenn {

Result<void> add_constant_item(PyObject* module, const void* record) {
  const auto& spec = *static_cast<const ConstantSpec*>(record);
  Result<PyObject*> value = spec.make();
  if (!value) return failure(std::move(value.error()));
  return add_named(module, spec.name, Owned(*value));
}

Result<void> add_submodule_item(PyObject* module, const void* record) {
  const auto& spec = *static_cast<const SubmoduleSpec*>(record);
  std::string_view name = spec.name.substr(0, spec.name.size() - 1);
  Result<std::string_view> parent = module_name(module);
  if (!parent) return failure(std::move(parent.error()));
  std::string qualified(*parent);
  qualified += '.';
  qualified += name;
  Owned sub(PyModule_New(qualified.c_str()));
  if (!sub) return failure(fetch_error());
  if (spec.doc.size() > 1 && PyModule_SetDocString(sub.get(), spec.doc.data()) == -1)
    return failure(fetch_error());
  if (Result<void> filled = add_items(sub.get(), spec.items); !filled) return filled;
  // __all__ as its stub declares it, even with no item.
  if (Result<PyObject*> all = module_all(sub.get()); !all) return failure(std::move(all.error()));
  // `import parent.name` finds it here once the parent is imported.
  if (PyDict_SetItemString(PyImport_GetModuleDict(), qualified.c_str(), sub.get()) == -1)
    return failure(fetch_error());
  return add_named(module, name, std::move(sub));
}

namespace detail {

PyErr empty_constant(std::string_view name) {
  TextBuffer text;
  text += "the constant '";
  text += name;
  text += "' is an empty object";
  return type_error_from_text(text.view());
}

}  // namespace detail

}  // namespace krenn
