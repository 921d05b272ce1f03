/* scale, shout, is_even and nothing with exactly the observable behaviour
 * krenn gives functions over everyday types (results, error types and
 * texts, __cause__, __context__, __suppress_context__), written as fast as
 * we know how in plain C: the yardstick for the everyday group. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <string.h>

#include "numbers.h"

/* A function's name and parameters, for binding and its error texts. */
typedef struct {
    const char *name;
    int nparams;
    const char *params[2];
    PyObject *interned[2];
} signature;

static signature scale_sig = {"scale", 2, {"x", "k"}, {NULL, NULL}};
static signature shout_sig = {"shout", 1, {"s"}, {NULL}};
static signature is_even_sig = {"is_even", 1, {"n"}, {NULL}};
static signature nothing_sig = {"nothing", 0, {NULL}, {NULL}};

/* --- error texts: all cold ----------------------------------------------- */

/* --- binding: everything but the common call shapes ---------------------- */

static Py_NO_INLINE void
too_many_positional(const signature *sig, Py_ssize_t nargs)
{
    /* krenn counts positional arguments only. */
    text_buf t = {.n = 0};
    put(&t, sig->name, strlen(sig->name));
    PUT(&t, "() takes ");
    put_count(&t, (size_t)sig->nparams);
    if (sig->nparams == 1)
        PUT(&t, " positional argument but ");
    else
        PUT(&t, " positional arguments but ");
    put_count(&t, (size_t)nargs);
    if (nargs == 1)
        PUT(&t, " was given");
    else
        PUT(&t, " were given");
    raise_text(ascii_str(t.buf, t.n));
}

static Py_NO_INLINE void
unexpected_keyword(const signature *sig, PyObject *key)
{
    PyObject *shown = display(key);
    if (shown == NULL)
        return;
    PyErr_Format(PyExc_TypeError,
                 "%s() got an unexpected keyword argument '%U'", sig->name,
                 shown);
    Py_DECREF(shown);
}

static Py_NO_INLINE void
missing(const signature *sig, PyObject *const *slots)
{
    const char *names[2];
    int n = 0;
    for (int i = 0; i < sig->nparams; i++)
        if (slots[i] == NULL)
            names[n++] = sig->params[i];
    if (n == 1)
        PyErr_Format(PyExc_TypeError,
                     "%s() missing 1 required positional argument: '%s'",
                     sig->name, names[0]);
    else
        PyErr_Format(PyExc_TypeError,
                     "%s() missing 2 required positional arguments: '%s' "
                     "and '%s'",
                     sig->name, names[0], names[1]);
}

/* Keyword names the compiler did not intern, compared by text as krenn
 * does. -1 for no match, -2 for an error raised. */
static int
kw_index_by_text(const signature *sig, PyObject *key)
{
    Py_ssize_t len;
    const char *s = PyUnicode_AsUTF8AndSize(key, &len);
    if (s == NULL) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError))
            return -2;
        PyErr_Clear(); /* lone surrogates: no match, as in krenn */
        return -1;
    }
    for (int i = 0; i < sig->nparams; i++)
        if ((size_t)len == strlen(sig->params[i]) &&
            memcmp(s, sig->params[i], (size_t)len) == 0)
            return i;
    return -1;
}

static Py_NO_INLINE int
bind(const signature *sig, PyObject *const *args, Py_ssize_t nargs,
     PyObject *kwnames, PyObject **slots)
{
    for (int i = 0; i < sig->nparams; i++)
        slots[i] = NULL;
    if (nargs > sig->nparams) {
        too_many_positional(sig, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; i++)
        slots[i] = args[i];
    Py_ssize_t nkw = kwnames != NULL ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        int i = 0;
        while (i < sig->nparams && key != sig->interned[i])
            i++;
        if (i == sig->nparams) {
            if (!PyUnicode_Check(key)) {
                keyword_not_str(key);
                return -1;
            }
            if ((i = kw_index_by_text(sig, key)) < 0) {
                if (i == -1)
                    unexpected_keyword(sig, key);
                return -1;
            }
        }
        if (slots[i] != NULL) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for argument '%s'",
                         sig->name, sig->params[i]);
            return -1;
        }
        slots[i] = args[nargs + k];
    }
    for (int i = 0; i < sig->nparams; i++)
        if (slots[i] == NULL) {
            missing(sig, slots);
            return -1;
        }
    return 0;
}

/* --- conversions --------------------------------------------------------- */

/* Upper-cases the ASCII letters in a word of bytes: a byte's top bit marks
 * it when it is below 0x80, at least 'a' and at most 'z'. */
#define UPPER_WORD(type, w)                                                  \
    do {                                                                     \
        const type ones_ = (type)0x0101010101010101ULL;                     \
        type low_ = (w) & (type)(0x7f * ones_);                              \
        type mask_ = (type)((low_ + (type)((0x80 - 'a') * ones_)) &         \
                            ~(low_ + (type)((0x80 - 'z' - 1) * ones_)) &    \
                            ~(w) & (type)(0x80 * ones_));                    \
        (w) ^= mask_ >> 2;                                                   \
    } while (0)

/* dst from src, n bytes, letters upper-cased a word at a time; the last
 * word overlaps the one before rather than go byte by byte. */
static inline void
upper_ascii(unsigned char *dst, const unsigned char *src, Py_ssize_t n)
{
    if (n >= 8) {
        uint64_t w;
        for (Py_ssize_t i = 0; i < n - 8; i += 8) {
            memcpy(&w, src + i, 8);
            UPPER_WORD(uint64_t, w);
            memcpy(dst + i, &w, 8);
        }
        memcpy(&w, src + n - 8, 8);
        UPPER_WORD(uint64_t, w);
        memcpy(dst + n - 8, &w, 8);
    }
    else if (n >= 4) {
        uint32_t a, b;
        memcpy(&a, src, 4);
        memcpy(&b, src + n - 4, 4);
        UPPER_WORD(uint32_t, a);
        UPPER_WORD(uint32_t, b);
        memcpy(dst, &a, 4);
        memcpy(dst + n - 4, &b, 4);
    }
    else
        for (Py_ssize_t i = 0; i < n; i++) {
            unsigned char c = src[i];
            dst[i] = (unsigned char)((unsigned)(c - 'a') < 26 ? c - 32 : c);
        }
}

/* --- the calls ----------------------------------------------------------- */

static PyObject *
scale(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
      PyObject *kwnames)
{
    PyObject *ox, *ok;
    /* f(x, k), f(x=, k=) and f(x, k=) with interned names leave the two
     * values in order in args. */
    Py_ssize_t nkw = kwnames != NULL ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw == 2 &&
        (nkw == 0 ||
         (PyTuple_GET_ITEM(kwnames, nkw - 1) == scale_sig.interned[1] &&
          (nkw == 1 || PyTuple_GET_ITEM(kwnames, 0) == scale_sig.interned[0])))) {
        ox = args[0];
        ok = args[1];
    }
    else {
        PyObject *slots[2];
        if (bind(&scale_sig, args, nargs, kwnames, slots) < 0)
            return NULL;
        ox = slots[0];
        ok = slots[1];
    }
    double x;
    long long k;
    if (!exact_f64(ox, &x)) {
        x = f64_protocol(ox, "x", -1);
        if (x == -1.0 && PyErr_Occurred())
            return NULL;
    }
    if (!exact_i64(ok, &k)) {
        k = i64_protocol(ok, "k", -1);
        if (k == -1 && PyErr_Occurred())
            return NULL;
    }
    return PyFloat_FromDouble(x * (double)k);
}

static Py_NO_INLINE PyObject *
shout_utf8(PyObject *s)
{
    Py_ssize_t len;
    const char *u = PyUnicode_AsUTF8AndSize(s, &len);
    if (u == NULL)
        return NULL; /* lone surrogates: the interpreter's error as is */
    char small[256];
    char *buf = len <= (Py_ssize_t)sizeof(small) ? small : PyMem_Malloc(len);
    if (buf == NULL)
        return PyErr_NoMemory();
    upper_ascii((unsigned char *)buf, (const unsigned char *)u, len);
    PyObject *out = PyUnicode_DecodeUTF8(buf, len, NULL);
    if (buf != small)
        PyMem_Free(buf);
    return out;
}

static PyObject *
shout(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
      PyObject *kwnames)
{
    PyObject *s;
    if (nargs == 1 && kwnames == NULL)
        s = args[0];
    else {
        PyObject *slot;
        if (bind(&shout_sig, args, nargs, kwnames, &slot) < 0)
            return NULL;
        s = slot;
    }
    if (!PyUnicode_Check(s)) {
        not_convertible(s, "s", -1, "PyString");
        return NULL;
    }
    /* A compact ASCII str is its own UTF-8, and so is the result; its
     * bytes follow the header. */
    if (!PyUnicode_IS_COMPACT_ASCII(s))
        return shout_utf8(s);
    Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    const Py_UCS1 *src = (const Py_UCS1 *)((PyASCIIObject *)s + 1);
    if (len == 1) { /* the interpreter's cached one-character str */
        unsigned char c = src[0];
        return PyUnicode_FromOrdinal((unsigned)(c - 'a') < 26 ? c - 32 : c);
    }
    PyObject *out = PyUnicode_New(len, 127);
    if (out != NULL)
        upper_ascii((Py_UCS1 *)((PyASCIIObject *)out + 1), src, len);
    return out;
}

static PyObject *
is_even(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
        PyObject *kwnames)
{
    PyObject *o;
    if (nargs == 1 && kwnames == NULL)
        o = args[0];
    else {
        PyObject *slot;
        if (bind(&is_even_sig, args, nargs, kwnames, &slot) < 0)
            return NULL;
        o = slot;
    }
    long long v;
    if (!exact_i64(o, &v)) {
        v = i64_protocol(o, "n", -1);
        if (v == -1 && PyErr_Occurred())
            return NULL;
    }
    return Py_NewRef(v & 1 ? Py_False : Py_True);
}

static PyObject *
nothing(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
        PyObject *kwnames)
{
    if (nargs != 0 || kwnames != NULL) {
        /* Raises for every shape but an empty keyword tuple. */
        if (bind(&nothing_sig, args, nargs, kwnames, NULL) < 0)
            return NULL;
    }
    Py_RETURN_NONE;
}

#define FASTCALL(f) (PyCFunction)(void (*)(void))(f)

static PyMethodDef methods[] = {
    {"scale", FASTCALL(scale), METH_FASTCALL | METH_KEYWORDS,
     "scale(x, k)\n--\n\nx * k."},
    {"shout", FASTCALL(shout), METH_FASTCALL | METH_KEYWORDS,
     "shout(s)\n--\n\ns with its ASCII letters upper-cased."},
    {"is_even", FASTCALL(is_even), METH_FASTCALL | METH_KEYWORDS,
     "is_even(n)\n--\n\nWhether n is even."},
    {"nothing", FASTCALL(nothing), METH_FASTCALL | METH_KEYWORDS,
     "nothing()\n--\n\nNone."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "bench_limit_everyday", NULL, -1, methods,
};

PyMODINIT_FUNC
PyInit_bench_limit_everyday(void)
{
    /* The compiler interns identifier-like keyword names, so call sites
     * hand us these very objects. */
    signature *sigs[] = {&scale_sig, &shout_sig, &is_even_sig};
    for (size_t s = 0; s < sizeof(sigs) / sizeof(sigs[0]); s++)
        for (int i = 0; i < sigs[s]->nparams; i++) {
            sigs[s]->interned[i] =
                PyUnicode_InternFromString(sigs[s]->params[i]);
            if (sigs[s]->interned[i] == NULL)
                return NULL;
        }
    return PyModule_Create(&module);
}
