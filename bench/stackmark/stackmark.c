/* Where the C stack is at the caller's depth: run.py records it at each
 * level of a nested call to measure stack bytes per level. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static Py_NO_INLINE PyObject *
here(PyObject *self, PyObject *unused)
{
    /* volatile keeps the local in this function's own frame. */
    volatile char local = 0;
    return PyLong_FromVoidPtr((void *)&local);
}

static PyMethodDef methods[] = {
    {"here", here, METH_NOARGS, "Address of a local in this C call."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "bench_stackmark", NULL, -1, methods,
};

PyMODINIT_FUNC
PyInit_bench_stackmark(void)
{
    return PyModule_Create(&module);
}
