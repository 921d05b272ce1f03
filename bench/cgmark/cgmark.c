/* Lets the callgrind probe cut one run into labelled segments, so a single
 * interpreter start-up serves every case. Outside valgrind the request is
 * a no-op. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <valgrind/callgrind.h>

static PyObject *
dump(PyObject *self, PyObject *label)
{
    const char *text = PyUnicode_AsUTF8(label);
    if (text == NULL)
        return NULL;
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}

static PyObject *
running(PyObject *self, PyObject *unused)
{
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
}

static PyMethodDef methods[] = {
    {"dump", dump, METH_O, "Dump callgrind counters since the last dump."},
    {"running", running, METH_NOARGS, "True under valgrind."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "bench_cgmark", NULL, -1, methods,
};

PyMODINIT_FUNC
PyInit_bench_cgmark(void)
{
    return PyModule_Create(&module);
}
