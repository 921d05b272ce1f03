#include <Python.h>

namespace acc {
extern const int twice_spec;
}
namespace krenn {
int missing_helper();
}

PyMODINIT_FUNC PyInit_broken() {
  return PyLong_FromLong(acc::twice_spec + krenn::missing_helper());
}
