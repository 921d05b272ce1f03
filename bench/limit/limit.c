/* sum_as_string with exactly krenn_python's observable behaviour (results,
 * error types and texts, __cause__, __context__, __suppress_context__),
 * written as fast as we know how in plain C. No binding layer can do the
 * same work in less, so every ratio in the benchmark is to this. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h>

#include "common.h"

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000 || \
    PYLONG_BITS_IN_DIGIT != 30
#error "reads int digits in the CPython 3.11 layout with 30-bit digits"
#endif

static PyObject *name_a;
static PyObject *name_b;
/* The interpreter's own cached one-character strs for '0'..'9'. */
static PyObject *digit_str[10];

static const char *const param_names[2] = {"a", "b"};

static const char digit_pairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233"
    "34353637383940414243444546474849505152535455565758596061626364656667"
    "6869707172737475767778798081828384858687888990919293949596979899";

static const unsigned long long pow10[20] = {
    1ULL,
    10ULL,
    100ULL,
    1000ULL,
    10000ULL,
    100000ULL,
    1000000ULL,
    10000000ULL,
    100000000ULL,
    1000000000ULL,
    10000000000ULL,
    100000000000ULL,
    1000000000000ULL,
    10000000000000ULL,
    100000000000000ULL,
    1000000000000000ULL,
    10000000000000000ULL,
    100000000000000000ULL,
    1000000000000000000ULL,
    10000000000000000000ULL,
};

/* --- errors: all cold, so the hot path stays small ----------------------- */

/* What PyNumber_Index raises for o, named for the argument; the text is
 * the interpreter's own, composed by hand for ASCII type names. */
static Py_NO_INLINE void
not_an_integer(PyObject *o, int i)
{
    static const char head[] = "argument 'a': '";
    static const char tail[] = "' object cannot be interpreted as an integer";
    const char *name = Py_TYPE(o)->tp_name;
    char buf[sizeof(head) + 200 + sizeof(tail)];
    Py_ssize_t n = 0;
    while (name[n] != '\0' && n <= 200 && (unsigned char)name[n] < 128)
        n++;
    PyObject *text;
    if (name[n] == '\0' && n <= 200) {
        char *p = buf;
        memcpy(p, head, sizeof(head) - 1);
        p[10] = param_names[i][0];
        p += sizeof(head) - 1;
        memcpy(p, name, n);
        p += n;
        memcpy(p, tail, sizeof(tail) - 1);
        p += sizeof(tail) - 1;
        text = ascii_str(buf, p - buf);
    }
    else
        text = PyUnicode_FromFormat(
            "argument '%s': '%.200s' object cannot be interpreted as an "
            "integer",
            param_names[i], name);
    if (text != NULL)
        raise_wrapped(text, NULL);
}

/* A plain TypeError from the conversion gets the argument's name; its
 * cause carries over, the error itself is dropped. */
static Py_NO_INLINE void
wrap_conversion_error(int i)
{
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyObject *shown = display(value);
    PyObject *text = NULL;
    if (shown != NULL) {
        text = PyUnicode_FromFormat("argument '%s': %U", param_names[i],
                                    shown);
        Py_DECREF(shown);
    }
    PyObject *cause = text != NULL ? PyException_GetCause(value) : NULL;
    Py_DECREF(type);
    Py_DECREF(value);
    Py_XDECREF(tb);
    if (text != NULL)
        raise_wrapped(text, cause);
}

/* Everything but exact ints of at most 64 bits. Returns -1 with an error
 * set, or the value, which may be -1 too: callers check PyErr_Occurred. */
static Py_NO_INLINE unsigned long long
u64_protocol(PyObject *o, int i)
{
    /* Without __index__ the text is known: skip raising it twice. */
    if (!PyLong_Check(o) && !PyIndex_Check(o)) {
        not_an_integer(o, i);
        return (unsigned long long)-1;
    }
    PyObject *idx = PyNumber_Index(o);
    if (idx == NULL) {
        wrap_conversion_error(i);
        return (unsigned long long)-1;
    }
    /* idx is an exact int, so only OverflowError can come, unwrapped. */
    unsigned long long v = PyLong_AsUnsignedLongLong(idx);
    Py_DECREF(idx);
    return v;
}

static Py_NO_INLINE PyObject *
too_many_positional(Py_ssize_t nargs)
{
    /* krenn counts positional arguments only. */
    static const char head[] =
        "sum_as_string() takes 2 positional arguments but ";
    static const char tail[] = " were given";
    char buf[sizeof(head) + 20 + sizeof(tail)];
    char digits[20];
    char *d = digits + sizeof(digits);
    size_t v = (size_t)nargs;
    do {
        *--d = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    char *p = buf;
    memcpy(p, head, sizeof(head) - 1);
    p += sizeof(head) - 1;
    memcpy(p, d, digits + sizeof(digits) - d);
    p += digits + sizeof(digits) - d;
    memcpy(p, tail, sizeof(tail) - 1);
    p += sizeof(tail) - 1;
    return raise_text(ascii_str(buf, p - buf));
}

static Py_NO_INLINE PyObject *
unexpected_keyword(PyObject *key)
{
    PyObject *shown = display(key);
    if (shown == NULL)
        return NULL;
    PyErr_Format(PyExc_TypeError,
                 "sum_as_string() got an unexpected keyword argument '%U'",
                 shown);
    Py_DECREF(shown);
    return NULL;
}

static Py_NO_INLINE PyObject *
multiple_values(int i)
{
    if (i == 0)
        return raise_text(ASCII_STR("sum_as_string() got multiple values for "
                                    "argument 'a'"));
    return raise_text(ASCII_STR("sum_as_string() got multiple values for "
                                "argument 'b'"));
}

static Py_NO_INLINE PyObject *
missing(PyObject *const *slots)
{
    if (slots[0] == NULL && slots[1] == NULL)
        return raise_text(ASCII_STR("sum_as_string() missing 2 required "
                                    "positional arguments: 'a' and 'b'"));
    if (slots[0] == NULL)
        return raise_text(ASCII_STR("sum_as_string() missing 1 required "
                                    "positional argument: 'a'"));
    return raise_text(ASCII_STR("sum_as_string() missing 1 required "
                                "positional argument: 'b'"));
}

/* Keyword names the compiler did not intern (str subclasses, strs built at
 * run time): compared by text, as krenn does. -1 for no match, -2 for an
 * error raised. */
static Py_NO_INLINE int
kw_index_by_text(PyObject *key)
{
    Py_ssize_t len;
    const char *s = PyUnicode_AsUTF8AndSize(key, &len);
    if (s == NULL) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError))
            return -2;
        PyErr_Clear(); /* lone surrogates: no match, as in krenn */
        return -1;
    }
    if (len == 1 && (s[0] == 'a' || s[0] == 'b'))
        return s[0] - 'a';
    return -1;
}

/* Binds any call that is not one of the common shapes, and raises the
 * binding errors. */
static Py_NO_INLINE int
bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
     PyObject **slots)
{
    slots[0] = slots[1] = NULL;
    if (nargs > 2) {
        too_many_positional(nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; i++)
        slots[i] = args[i];
    if (kwnames != NULL) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            int i;
            if (key == name_a)
                i = 0;
            else if (key == name_b)
                i = 1;
            else if (!PyUnicode_Check(key)) {
                keyword_not_str(key);
                return -1;
            }
            else if ((i = kw_index_by_text(key)) < 0) {
                if (i == -1)
                    unexpected_keyword(key);
                return -1;
            }
            if (slots[i] != NULL) {
                multiple_values(i);
                return -1;
            }
            slots[i] = args[nargs + k];
        }
    }
    if (slots[0] == NULL || slots[1] == NULL) {
        missing(slots);
        return -1;
    }
    return 0;
}

/* --- the call ------------------------------------------------------------ */

/* Exact ints of at most 64 bits straight from their digits; anything else
 * (negative, too large, subclasses, other types) takes the protocol, which
 * also raises the interpreter's own errors. */
static inline int
exact_u64(PyObject *o, unsigned long long *out)
{
    if (!PyLong_CheckExact(o))
        return 0;
    const digit *d = ((PyLongObject *)o)->ob_digit;
    Py_ssize_t n = Py_SIZE(o);
    /* Sizes 0 and 1 in one unsigned compare; negative sizes fail them all. */
    if ((size_t)n < 2) {
        *out = n ? d[0] : 0;
        return 1;
    }
    if (n == 2) {
        *out = d[0] | (unsigned long long)d[1] << 30;
        return 1;
    }
    if (n == 3 && (d[2] >> 4) == 0) {
        *out = d[0] | (unsigned long long)d[1] << 30 |
               (unsigned long long)d[2] << 60;
        return 1;
    }
    return 0;
}

/* Decimal digits of s >= 10, written into a new compact ASCII str. */
static PyObject *
decimal_str(unsigned long long s)
{
    /* Digit count from the bit length, corrected by one compare. */
    int t = (64 - __builtin_clzll(s)) * 1233 >> 12;
    Py_ssize_t len = t + (s >= pow10[t]);
    PyObject *str = PyUnicode_New(len, 127);
    if (str == NULL)
        return NULL;
    Py_UCS1 *p = PyUnicode_1BYTE_DATA(str) + len;
    /* Eight digits at a time in 32-bit arithmetic, two per table look-up. */
    while (s >= 100000000) {
        unsigned lo = (unsigned)(s % 100000000);
        s /= 100000000;
        for (int k = 0; k < 4; k++) {
            p -= 2;
            memcpy(p, digit_pairs + 2 * (lo % 100), 2);
            lo /= 100;
        }
    }
    unsigned v = (unsigned)s;
    while (v >= 100) {
        p -= 2;
        memcpy(p, digit_pairs + 2 * (v % 100), 2);
        v /= 100;
    }
    if (v >= 10) {
        p -= 2;
        memcpy(p, digit_pairs + 2 * v, 2);
    }
    else
        *--p = (Py_UCS1)('0' + v);
    return str;
}

/* f(a, b), f(a=, b=) and f(a, b=), with the names the compiler interned,
 * leave the two values in order in args: no slots, no keyword loop. */
static inline int
in_order(Py_ssize_t nargs, PyObject *kwnames)
{
    if (kwnames == NULL)
        return nargs == 2;
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    PyObject *const *keys = &PyTuple_GET_ITEM(kwnames, 0);
    return nargs + nkw == 2 && nkw > 0 && keys[nkw - 1] == name_b &&
           (nkw == 1 || keys[0] == name_a);
}

static PyObject *
sum_as_string(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames)
{
    PyObject *oa, *ob;
    if (in_order(nargs, kwnames)) {
        oa = args[0];
        ob = args[1];
    }
    else {
        /* Apart, so the common shapes keep oa and ob in registers. */
        PyObject *slots[2];
        if (bind(args, nargs, kwnames, slots) < 0)
            return NULL;
        oa = slots[0];
        ob = slots[1];
    }

    unsigned long long a, b;
    if (!exact_u64(oa, &a)) {
        a = u64_protocol(oa, 0);
        if (a == (unsigned long long)-1 && PyErr_Occurred())
            return NULL;
    }
    if (!exact_u64(ob, &b)) {
        b = u64_protocol(ob, 1);
        if (b == (unsigned long long)-1 && PyErr_Occurred())
            return NULL;
    }

    unsigned long long s = a + b; /* wraps modulo 2**64 */
    if (s < 10) {
        PyObject *one = digit_str[s];
        Py_INCREF(one);
        return one;
    }
    return decimal_str(s);
}

static PyMethodDef methods[] = {
    {"sum_as_string", (PyCFunction)(void (*)(void))sum_as_string,
     METH_FASTCALL | METH_KEYWORDS,
     "sum_as_string(a, b)\n--\n\nDecimal string of (a + b) mod 2**64."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "bench_limit", NULL, -1, methods,
};

PyMODINIT_FUNC
PyInit_bench_limit(void)
{
    /* The compiler interns identifier-like keyword names, so call sites
     * hand us these very objects. */
    name_a = PyUnicode_InternFromString("a");
    name_b = PyUnicode_InternFromString("b");
    if (name_a == NULL || name_b == NULL)
        return NULL;
    /* PyUnicode_FromOrdinal hands out the same cached objects that
     * PyUnicode_FromStringAndSize returns for one ASCII character. */
    for (int i = 0; i < 10; i++) {
        digit_str[i] = PyUnicode_FromOrdinal('0' + i);
        if (digit_str[i] == NULL)
            return NULL;
    }
    return PyModule_Create(&module);
}
