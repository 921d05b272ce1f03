// Paths: os.fspath and the file system's encoding, and pathlib.Path results.
#include "krenn/filesystem.hpp"
#include "krenn/arguments.hpp"
#include "once.hpp"

namespace krenn::detail {

namespace {

constinit InternedName path_name{"Path"};

}  // namespace

Result<std::filesystem::path> argument_to_path(PyObject* obj, std::string_view name) {
  PyObject* bytes = nullptr;
  // fspath, encoding and the NUL check: the interpreter's own converter.
  if (!PyUnicode_FSConverter(obj, &bytes)) return failure(wrap_argument_error(name, fetch_error()));
  Owned held = Owned::steal(bytes);
  return std::filesystem::path(std::string_view(PyBytes_AS_STRING(bytes),
                                                static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))));
}

Result<PyObject*> path_to_python(const std::filesystem::path& value) {
  const std::string& native = value.native();
  Owned text = Owned::steal(
      PyUnicode_DecodeFSDefaultAndSize(native.data(), static_cast<Py_ssize_t>(native.size())));
  if (!text) return result_failed();
  Owned pathlib = Owned::steal(PyImport_ImportModule("pathlib"));
  if (!pathlib) return result_failed();
  Owned type = Owned::steal(PyObject_GetAttr(pathlib.get(), path_name.get()));
  if (!type) return result_failed();
  PyObject* path = PyObject_CallOneArg(type.get(), text.get());
  if (!path) return result_failed();
  return path;
}

}  // namespace krenn::detail
