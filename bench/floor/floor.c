/* The cheapest sum_as_string a C extension can offer: one FASTCALL entry,
 * no argument-parsing helpers, digits formatted by hand. Every binding
 * layer in the benchmark is measured against this. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *name_a;
static PyObject *name_b;

static const char *const param_names[2] = {"a", "b"};

static int
to_u64(PyObject *o, int i, unsigned long long *out)
{
    /* The int test is a flag check; only non-ints pay for PyIndex_Check,
     * which lets the error name the argument with a single format. */
    if (!PyLong_Check(o) && !PyIndex_Check(o)) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': '%.200s' object cannot be interpreted "
                     "as an integer",
                     param_names[i], Py_TYPE(o)->tp_name);
        return -1;
    }
    PyObject *idx = PyNumber_Index(o);
    if (idx == NULL)
        return -1;
    unsigned long long v = PyLong_AsUnsignedLongLong(idx);
    Py_DECREF(idx);
    if (v == (unsigned long long)-1 && PyErr_Occurred())
        return -1;
    *out = v;
    return 0;
}

/* Interned names compare by pointer; anything else (a str built at run
 * time) falls back to a string compare. */
static int
kw_index(PyObject *key)
{
    if (key == name_a)
        return 0;
    if (key == name_b)
        return 1;
    if (PyUnicode_Check(key)) {
        if (PyUnicode_CompareWithASCIIString(key, "a") == 0)
            return 0;
        if (PyUnicode_CompareWithASCIIString(key, "b") == 0)
            return 1;
    }
    return -1;
}

static PyObject *
sum_as_string(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames)
{
    PyObject *slots[2] = {NULL, NULL};
    unsigned long long a, b;

    if (nargs > 2) {
        Py_ssize_t given = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
        PyErr_Format(PyExc_TypeError,
                     "sum_as_string() takes 2 positional arguments but %zd "
                     "were given",
                     given);
        return NULL;
    }
    for (Py_ssize_t i = 0; i < nargs; i++)
        slots[i] = args[i];

    if (kwnames != NULL) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            int i = kw_index(key);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError,
                             "sum_as_string() got an unexpected keyword "
                             "argument '%S'",
                             key);
                return NULL;
            }
            if (slots[i] != NULL) {
                PyErr_Format(PyExc_TypeError,
                             "sum_as_string() got multiple values for "
                             "argument '%s'",
                             param_names[i]);
                return NULL;
            }
            slots[i] = args[nargs + k];
        }
    }

    if (slots[0] == NULL || slots[1] == NULL) {
        if (slots[0] == NULL && slots[1] == NULL)
            PyErr_SetString(PyExc_TypeError,
                            "sum_as_string() missing 2 required positional "
                            "arguments: 'a' and 'b'");
        else
            PyErr_Format(PyExc_TypeError,
                         "sum_as_string() missing 1 required positional "
                         "argument: '%s'",
                         slots[0] == NULL ? "a" : "b");
        return NULL;
    }

    if (to_u64(slots[0], 0, &a) < 0 || to_u64(slots[1], 1, &b) < 0)
        return NULL;

    unsigned long long s = a + b; /* wraps modulo 2**64 */
    char buf[20];                 /* 2**64 - 1 has 20 digits */
    char *p = buf + sizeof(buf);
    do {
        *--p = (char)('0' + s % 10);
        s /= 10;
    } while (s != 0);
    return PyUnicode_FromStringAndSize(p, buf + sizeof(buf) - p);
}

static PyMethodDef methods[] = {
    {"sum_as_string", (PyCFunction)(void (*)(void))sum_as_string,
     METH_FASTCALL | METH_KEYWORDS,
     "sum_as_string(a, b)\n--\n\nDecimal string of (a + b) mod 2**64."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "bench_floor", NULL, -1, methods,
};

PyMODINIT_FUNC
PyInit_bench_floor(void)
{
    /* The compiler interns identifier-like keyword names, so call sites
     * hand us these very objects. */
    name_a = PyUnicode_InternFromString("a");
    name_b = PyUnicode_InternFromString("b");
    if (name_a == NULL || name_b == NULL)
        return NULL;
    return PyModule_Create(&module);
}
