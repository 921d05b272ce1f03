/* The standard-library group's yardstick in plain C: total (a sequence of
 * floats taken as std::vector<double>), count_words (a dict[str, int]
 * taken as a map from std::string to int64), apply (a callable taken as
 * std::function<int64(int64)>) and inc, with krenn's observable behaviour
 * and as fast as we know how: nothing is copied into a container, since
 * the sums see every element in the order a conversion would. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

#include "binding.h"

static signature total_sig = {"total", 0, 1, 1, {"xs"}, {0}};
static signature count_words_sig = {"count_words", 0, 1, 1, {"d"}, {0}};
static signature apply_sig = {"apply", 0, 2, 2, {"f", "x"}, {0}};
static signature inc_sig = {"inc", 0, 1, 1, {"x"}, {0}};

/* The one argument of a one-parameter function, or NULL with an error. */
static inline PyObject *
one_arg(signature *sig, PyObject *const *args, Py_ssize_t nargs,
        PyObject *kwnames)
{
    PyObject *o;
    if (nargs == 1 && kwnames == NULL)
        return args[0];
    return bind(sig, args, nargs, kwnames, &o) < 0 ? NULL : o;
}

static inline int
i64_of(PyObject *o, const char *param, Py_ssize_t item, long long *out)
{
    if (exact_i64(o, out))
        return 0;
    *out = i64_protocol(o, param, item);
    return *out == -1 && PyErr_Occurred() ? -1 : 0;
}

/* --- total ------------------------------------------------------------- */

/* Element i that is no exact float or int; the element stays alive while
 * its __float__ runs, which may change the sequence. */
static Py_NO_INLINE int
add_item(PyObject *o, Py_ssize_t i, double *sum)
{
    Py_INCREF(o);
    int failed = 0;
    double v = to_f64(o, "xs", i, &failed);
    Py_DECREF(o);
    *sum += v;
    return failed ? -1 : 0;
}

/* Any other sequence but str, bytes and bytearray, by index. */
static Py_NO_INLINE PyObject *
total_sequence(PyObject *xs)
{
    if (PyUnicode_Check(xs) || PyBytes_Check(xs) || PyByteArray_Check(xs) ||
        !PySequence_Check(xs)) {
        not_convertible(xs, "xs", -1, "Sequence[float]");
        return NULL;
    }
    Py_ssize_t n = PySequence_Size(xs);
    if (n < 0)
        return NULL;
    double sum = 0.0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *o = PySequence_GetItem(xs, i);
        if (o == NULL)
            return NULL;
        double v;
        int failed = 0;
        if (exact_f64(o, &v))
            sum += v;
        else
            failed = add_item(o, i, &sum) < 0;
        Py_DECREF(o);
        if (failed)
            return NULL;
    }
    return PyFloat_FromDouble(sum);
}

/* The rest of a list or tuple from element i on, once one is no exact
 * float: the size is read again each time, since __float__ may shrink a
 * list. */
static Py_NO_INLINE PyObject *
total_from(PyObject *xs, Py_ssize_t i, double sum)
{
    for (; i < PySequence_Fast_GET_SIZE(xs); i++) {
        PyObject *o = PySequence_Fast_GET_ITEM(xs, i);
        double v;
        if (exact_f64(o, &v))
            sum += v;
        else if (add_item(o, i, &sum) < 0)
            return NULL;
    }
    return PyFloat_FromDouble(sum);
}

static PyObject *
total(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
      PyObject *kwnames)
{
    PyObject *xs = one_arg(&total_sig, args, nargs, kwnames);
    if (xs == NULL)
        return NULL;
    if (!PyList_CheckExact(xs) && !PyTuple_CheckExact(xs))
        return total_sequence(xs);
    PyObject **items = PySequence_Fast_ITEMS(xs);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(xs);
    /* In order, as a sum over the converted vector adds them. */
    double sum = 0.0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *o = items[i];
        if (!PyFloat_CheckExact(o))
            return total_from(xs, i, sum);
        sum += PyFloat_AS_DOUBLE(o);
    }
    return PyFloat_FromDouble(sum);
}

/* --- count_words ------------------------------------------------------- */

/* A key that converts to std::string: a str, encodable as UTF-8. */
static inline int
key_ok(PyObject *key, Py_ssize_t i)
{
    if (PyUnicode_IS_COMPACT_ASCII(key) && PyUnicode_CheckExact(key))
        return 0;
    if (!PyUnicode_Check(key)) {
        not_convertible(key, "d", i, "PyString");
        return -1;
    }
    return PyUnicode_AsUTF8AndSize(key, NULL) != NULL ? 0 : -1;
}

/* A value that is no exact int within int64, kept alive meanwhile. */
static Py_NO_INLINE int
add_value(PyObject *v, Py_ssize_t i, unsigned long long *sum)
{
    Py_INCREF(v);
    long long n;
    int rc = i64_of(v, "d", i, &n);
    Py_DECREF(v);
    *sum += (unsigned long long)n;
    return rc;
}

/* Any other mapping, through its items(). */
static Py_NO_INLINE PyObject *
count_mapping(PyObject *d)
{
    PyObject *items =
        PyObject_HasAttrString(d, "keys") ? PyMapping_Items(d) : NULL;
    if (items == NULL) {
        if (!PyErr_Occurred())
            not_convertible(d, "d", -1, "Mapping[str, int]");
        return NULL;
    }
    unsigned long long sum = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); i++) {
        PyObject *kv = PyList_GET_ITEM(items, i);
        if (!PyTuple_Check(kv) || PyTuple_GET_SIZE(kv) != 2) {
            PyErr_SetString(PyExc_TypeError, "items() must give pairs");
            Py_DECREF(items);
            return NULL;
        }
        if (key_ok(PyTuple_GET_ITEM(kv, 0), i) < 0 ||
            add_value(PyTuple_GET_ITEM(kv, 1), i, &sum) < 0) {
            Py_DECREF(items);
            return NULL;
        }
    }
    Py_DECREF(items);
    return PyLong_FromLongLong((long long)sum);
}

static PyObject *
count_words(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
            PyObject *kwnames)
{
    PyObject *d = one_arg(&count_words_sig, args, nargs, kwnames);
    if (d == NULL)
        return NULL;
    if (!PyDict_Check(d))
        return count_mapping(d);
    unsigned long long sum = 0;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    for (; PyDict_Next(d, &pos, &key, &value); i++) {
        long long n;
        if (key_ok(key, i) < 0)
            return NULL;
        if (exact_i64(value, &n))
            sum += (unsigned long long)n;
        else if (add_value(value, i, &sum) < 0)
            return NULL;
    }
    return PyLong_FromLongLong((long long)sum);
}

/* --- apply and inc ----------------------------------------------------- */

static PyObject *
inc(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
    PyObject *kwnames)
{
    PyObject *o = one_arg(&inc_sig, args, nargs, kwnames);
    long long x;
    if (o == NULL || i64_of(o, "x", -1, &x) < 0)
        return NULL;
    return PyLong_FromLongLong((long long)((unsigned long long)x + 1));
}

#define FASTCALL(f) (PyCFunction)(void (*)(void))(f)

/* f's result as an int64: the interpreter's own errors, as they are. */
static Py_NO_INLINE int
result_i64(PyObject *r, long long *out)
{
    PyObject *idx = PyNumber_Index(r);
    if (idx == NULL)
        return -1;
    *out = PyLong_AsLongLong(idx);
    Py_DECREF(idx);
    return *out == -1 && PyErr_Occurred() ? -1 : 0;
}

static PyObject *
apply(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
      PyObject *kwnames)
{
    PyObject *f, *o;
    if (nargs == 2 && kwnames == NULL) {
        f = args[0];
        o = args[1];
    }
    else {
        PyObject *slots[2];
        if (bind(&apply_sig, args, nargs, kwnames, slots) < 0)
            return NULL;
        f = slots[0];
        o = slots[1];
    }
    if (!PyCallable_Check(f)) {
        /* Worded as the interpreter words a call of it. */
        PyObject *text = PyUnicode_FromFormat(
            "argument 'f': '%.200s' object is not callable", Py_TYPE(f)->tp_name);
        if (text != NULL)
            raise_wrapped(text, NULL);
        return NULL;
    }
    long long x;
    if (i64_of(o, "x", -1, &x) < 0)
        return NULL;
    /* Our own inc is called as C, without a round trip through Python. */
    if (Py_IS_TYPE(f, &PyCFunction_Type) &&
        PyCFunction_GET_FUNCTION(f) == FASTCALL(inc))
        return PyLong_FromLongLong((long long)((unsigned long long)x + 1));
    PyObject *arg = PyLong_FromLongLong(x);
    if (arg == NULL)
        return NULL;
    PyObject *r = PyObject_Vectorcall(f, &arg, 1, NULL);
    Py_DECREF(arg);
    if (r == NULL)
        return NULL;
    long long v;
    int rc = exact_i64(r, &v) ? 0 : result_i64(r, &v);
    Py_DECREF(r);
    return rc < 0 ? NULL : PyLong_FromLongLong(v);
}

#define FASTCALL_KW (METH_FASTCALL | METH_KEYWORDS)

static PyMethodDef methods[] = {
    {"total", FASTCALL(total), FASTCALL_KW,
     "total(xs)\n--\n\nThe sum of xs, in order."},
    {"count_words", FASTCALL(count_words), FASTCALL_KW,
     "count_words(d)\n--\n\nThe sum of d's values."},
    {"apply", FASTCALL(apply), FASTCALL_KW,
     "apply(f, x)\n--\n\nf(x)."},
    {"inc", FASTCALL(inc), FASTCALL_KW, "inc(x)\n--\n\nx + 1."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "bench_limit_stdlib", NULL, -1, methods,
};

PyMODINIT_FUNC
PyInit_bench_limit_stdlib(void)
{
    signature *sigs[] = {&total_sig, &count_words_sig, &apply_sig, &inc_sig};
    for (size_t s = 0; s < sizeof(sigs) / sizeof(sigs[0]); s++)
        for (int i = 0; i < sigs[s]->nparams; i++) {
            sigs[s]->interned[i] =
                PyUnicode_InternFromString(sigs[s]->params[i]);
            if (sigs[s]->interned[i] == NULL)
                return NULL;
        }
    return PyModule_Create(&module);
}
