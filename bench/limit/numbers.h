/* Numbers as krenn converts them, and the error texts of those
 * conversions, shared by the limits of the everyday, class and
 * standard-library groups. Included once per module, so all stay static.
 * An error names the argument, and an element of a container by its index:
 * "argument 'xs': item 1: must be real number, not str". */
#ifndef BENCH_LIMIT_NUMBERS_H
#define BENCH_LIMIT_NUMBERS_H

#include "common.h"

#include <string.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000 || \
    PYLONG_BITS_IN_DIGIT != 30
#error "reads int digits in the CPython 3.11 layout with 30-bit digits"
#endif

/* --- error texts: all cold ----------------------------------------------- */

/* An error text put together from ASCII pieces; callers check the room. */
typedef struct {
    char buf[512];
    Py_ssize_t n;
} text_buf;

static inline void
put(text_buf *t, const char *s, size_t n)
{
    memcpy(t->buf + t->n, s, n);
    t->n += (Py_ssize_t)n;
}

#define PUT(t, literal) put(t, literal, sizeof(literal) - 1)

static inline void
put_count(text_buf *t, size_t v)
{
    char digits[20];
    char *d = digits + sizeof(digits);
    do {
        *--d = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    put(t, d, (size_t)(digits + sizeof(digits) - d));
}

/* "argument 'p': ", and "item i: " after it when i >= 0. */
static inline void
put_where(text_buf *t, const char *param, Py_ssize_t item)
{
    PUT(t, "argument '");
    put(t, param, strlen(param));
    PUT(t, "': ");
    if (item >= 0) {
        PUT(t, "item ");
        put_count(t, (size_t)item);
        PUT(t, ": ");
    }
}

/* Bytes of s that %.<most>s would print, if they are all ASCII; else -1,
 * and the caller leaves the text to PyUnicode_FromFormat. */
static inline Py_ssize_t
ascii_prefix(const char *s, Py_ssize_t most)
{
    Py_ssize_t n = 0;
    while (n < most && s[n] != '\0') {
        if ((unsigned char)s[n] >= 128)
            return -1;
        n++;
    }
    return n;
}

/* The text for a type name that is not plain ASCII: what %.<most>s
 * prints, bytes cut and then decoded with replacement, between the ASCII
 * head in t and tail. */
static Py_NO_INLINE PyObject *
text_with_name(const text_buf *t, const char *name, size_t most,
               const char *tail)
{
    size_t len = strlen(name);
    PyObject *head = ascii_str(t->buf, t->n);
    PyObject *shown = PyUnicode_DecodeUTF8(
        name, (Py_ssize_t)(len < most ? len : most), "replace");
    PyObject *text = head != NULL && shown != NULL
                         ? PyUnicode_FromFormat("%U%U%s", head, shown, tail)
                         : NULL;
    Py_XDECREF(head);
    Py_XDECREF(shown);
    return text;
}

/* What PyNumber_Index raises for o. */
static Py_NO_INLINE void
not_an_integer(PyObject *o, const char *param, Py_ssize_t item)
{
#define NOT_AN_INTEGER "' object cannot be interpreted as an integer"
    text_buf t;
    t.n = 0;
    put_where(&t, param, item);
    PUT(&t, "'");
    const char *name = Py_TYPE(o)->tp_name;
    Py_ssize_t n = ascii_prefix(name, 200);
    PyObject *text;
    if (n >= 0) {
        put(&t, name, (size_t)n);
        PUT(&t, NOT_AN_INTEGER);
        text = ascii_str(t.buf, t.n);
    }
    else
        text = text_with_name(&t, name, 200, NOT_AN_INTEGER);
#undef NOT_AN_INTEGER
    if (text != NULL)
        raise_wrapped(text, NULL);
}

/* What PyFloat_AsDouble raises for o without __float__ or __index__. */
static Py_NO_INLINE void
not_a_real_number(PyObject *o, const char *param, Py_ssize_t item)
{
    text_buf t;
    t.n = 0;
    put_where(&t, param, item);
    PUT(&t, "must be real number, not ");
    const char *name = Py_TYPE(o)->tp_name;
    Py_ssize_t n = ascii_prefix(name, 50);
    PyObject *text;
    if (n >= 0) {
        put(&t, name, (size_t)n);
        text = ascii_str(t.buf, t.n);
    }
    else
        text = text_with_name(&t, name, 50, "");
    if (text != NULL)
        raise_wrapped(text, NULL);
}

/* A plain TypeError from a conversion gets the argument's name; its cause
 * carries over, the error itself is dropped. Anything else goes through. */
static Py_NO_INLINE void
wrap_conversion_error(const char *param, Py_ssize_t item)
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
        text_buf t;
        t.n = 0;
        put_where(&t, param, item);
        PyObject *head = ascii_str(t.buf, t.n);
        if (head != NULL)
            text = PyUnicode_Concat(head, shown);
        Py_XDECREF(head);
        Py_DECREF(shown);
    }
    PyObject *cause = text != NULL ? PyException_GetCause(value) : NULL;
    Py_DECREF(type);
    Py_DECREF(value);
    Py_XDECREF(tb);
    if (text != NULL)
        raise_wrapped(text, cause);
}

/* o does not convert to target: krenn names o's type by its __qualname__,
 * which for a plain metatype is read without the attribute look-up. */
static Py_NO_INLINE void
not_convertible(PyObject *o, const char *param, Py_ssize_t item,
                const char *target)
{
    PyTypeObject *type = Py_TYPE(o);
    const char *name = NULL;
    Py_ssize_t n = -1;
    if (Py_IS_TYPE(type, &PyType_Type)) {
        if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
            const char *dot = strrchr(type->tp_name, '.');
            name = dot != NULL ? dot + 1 : type->tp_name;
            n = ascii_prefix(name, 256);
        }
        else {
            PyObject *q = ((PyHeapTypeObject *)type)->ht_qualname;
            if (PyUnicode_IS_COMPACT_ASCII(q) && PyUnicode_GET_LENGTH(q) < 256) {
                name = (const char *)PyUnicode_DATA(q);
                n = PyUnicode_GET_LENGTH(q);
            }
        }
    }
    PyObject *text;
    if (n >= 0 && name[n] == '\0') {
        text_buf t;
        t.n = 0;
        put_where(&t, param, item);
        PUT(&t, "'");
        put(&t, name, (size_t)n);
        PUT(&t, "' object cannot be converted to '");
        put(&t, target, strlen(target));
        PUT(&t, "'");
        text = ascii_str(t.buf, t.n);
    }
    else {
        text_buf t;
        t.n = 0;
        put_where(&t, param, item);
        PyObject *head = ascii_str(t.buf, t.n);
        PyObject *qualname =
            PyObject_GetAttrString((PyObject *)type, "__qualname__");
        if (qualname != NULL && PyUnicode_Check(qualname) &&
            PyUnicode_AsUTF8AndSize(qualname, NULL) != NULL)
            text = head != NULL ? PyUnicode_FromFormat(
                                      "%U'%U' object cannot be converted to '%s'",
                                      head, qualname, target)
                                : NULL;
        else {
            PyErr_Clear();
            text = head != NULL ? PyUnicode_FromFormat(
                                      "%U'<failed to extract type name>' "
                                      "object cannot be converted to '%s'",
                                      head, target)
                                : NULL;
        }
        Py_XDECREF(head);
        Py_XDECREF(qualname);
    }
    if (text != NULL)
        raise_wrapped(text, NULL);
}


/* --- conversions --------------------------------------------------------- */

/* Exact ints within int64 straight from their digits; the rest takes the
 * protocol, which raises the interpreter's own errors. */
static inline int
exact_i64(PyObject *o, long long *out)
{
    if (!PyLong_CheckExact(o))
        return 0;
    const digit *d = ((PyLongObject *)o)->ob_digit;
    Py_ssize_t n = Py_SIZE(o);
    unsigned long long m;
    switch (n < 0 ? -n : n) {
    case 0:
        *out = 0;
        return 1;
    case 1:
        m = d[0];
        break;
    case 2:
        m = d[0] | (unsigned long long)d[1] << 30;
        break;
    case 3:
        /* Below 2**63; -2**63 itself takes the protocol. */
        if (d[2] >> 3)
            return 0;
        m = d[0] | (unsigned long long)d[1] << 30 |
            (unsigned long long)d[2] << 60;
        break;
    default:
        return 0;
    }
    *out = n < 0 ? -(long long)m : (long long)m;
    return 1;
}

/* Returns -1 with an error set, or the value, which may be -1 too. */
static Py_NO_INLINE long long
i64_protocol(PyObject *o, const char *param, Py_ssize_t item)
{
    /* Without __index__ the text is known: skip raising it twice. */
    if (!PyLong_Check(o) && !PyIndex_Check(o)) {
        not_an_integer(o, param, item);
        return -1;
    }
    /* An exact int can only overflow, and that error goes through. */
    if (PyLong_CheckExact(o))
        return PyLong_AsLongLong(o);
    PyObject *idx = PyNumber_Index(o);
    if (idx == NULL) {
        wrap_conversion_error(param, item);
        return -1;
    }
    long long v = PyLong_AsLongLong(idx);
    Py_DECREF(idx);
    return v;
}

/* Returns -1.0 with an error set, or the value, which may be -1.0 too. */
static Py_NO_INLINE double
f64_protocol(PyObject *o, const char *param, Py_ssize_t item)
{
    PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
    if (!PyFloat_Check(o) &&
        (nb == NULL || (nb->nb_float == NULL && nb->nb_index == NULL))) {
        not_a_real_number(o, param, item);
        return -1.0;
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred())
        wrap_conversion_error(param, item);
    return v;
}

static inline int
exact_f64(PyObject *o, double *out)
{
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return 1;
    }
    long long v;
    /* int64 to double rounds to nearest even, as PyLong_AsDouble does. */
    if (exact_i64(o, &v)) {
        *out = (double)v;
        return 1;
    }
    return 0;
}

/* o as a double, or -1.0 with an error set. */
static inline double
to_f64(PyObject *o, const char *param, Py_ssize_t item, int *failed)
{
    double v;
    if (exact_f64(o, &v))
        return v;
    v = f64_protocol(o, param, item);
    *failed = v == -1.0 && PyErr_Occurred() != NULL;
    return v;
}

#endif
