/* Error helpers the limits share: what krenn does when it builds an error
 * text, in plain C. Included once per module, so all stay static. */
#ifndef BENCH_LIMIT_COMMON_H
#define BENCH_LIMIT_COMMON_H

#include <Python.h>

#include <string.h>

/* Errors krenn lets through where it would otherwise make do: anything
 * that is no Exception (KeyboardInterrupt, ...) and MemoryError. */
static int
must_propagate(void)
{
    PyObject *type = PyErr_Occurred();
    return !PyErr_GivenExceptionMatches(type, PyExc_Exception) ||
           PyErr_GivenExceptionMatches(type, PyExc_MemoryError);
}

/* str(o) as krenn displays it: lone surrogates become U+FFFD, and an object
 * whose str() fails is reported as unraisable and named by its type. */
static PyObject *
display(PyObject *o)
{
    PyObject *s = PyObject_Str(o);
    if (s == NULL) {
        if (must_propagate())
            return NULL;
        PyErr_WriteUnraisable(o);
        PyObject *qualname =
            PyObject_GetAttrString((PyObject *)Py_TYPE(o), "__qualname__");
        if (qualname == NULL && must_propagate())
            return NULL;
        if (qualname != NULL && PyUnicode_Check(qualname) &&
            PyUnicode_AsUTF8AndSize(qualname, NULL) != NULL)
            s = PyUnicode_FromFormat("<unprintable %U object>", qualname);
        else if (PyErr_Occurred() && must_propagate())
            s = NULL;
        else {
            PyErr_Clear();
            s = PyUnicode_FromString("<unprintable object>");
        }
        Py_XDECREF(qualname);
        return s;
    }
    if (PyUnicode_AsUTF8AndSize(s, NULL) != NULL)
        return s;
    PyErr_Clear();
    PyObject *bytes = PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass");
    Py_DECREF(s);
    if (bytes == NULL)
        return NULL;
    s = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes),
                             "replace");
    Py_DECREF(bytes);
    return s;
}

/* A new str from n ASCII bytes: error texts without the format parsing
 * and UTF-8 decoding of PyUnicode_FromFormat. */
static PyObject *
ascii_str(const char *s, Py_ssize_t n)
{
    PyObject *str = PyUnicode_New(n, 127);
    if (str != NULL)
        memcpy(PyUnicode_1BYTE_DATA(str), s, n);
    return str;
}

#define ASCII_STR(literal) ascii_str(literal, sizeof(literal) - 1)

/* Raises TypeError(text), stealing text; as with PyErr_SetString, the
 * exception being handled becomes its context. */
static PyObject *
raise_text(PyObject *text)
{
    if (text != NULL) {
        PyErr_SetObject(PyExc_TypeError, text);
        Py_DECREF(text);
    }
    return NULL;
}

/* Raises TypeError(text) with the cause given (stolen, may be NULL, which
 * still sets __suppress_context__) and, through PyErr_SetObject, the
 * exception being handled as its context. */
static void
raise_wrapped(PyObject *text, PyObject *cause)
{
    PyObject *exc = PyObject_CallOneArg(PyExc_TypeError, text);
    Py_DECREF(text);
    if (exc == NULL) {
        Py_XDECREF(cause);
        return;
    }
    PyException_SetCause(exc, cause);
    PyErr_SetObject(PyExc_TypeError, exc);
    Py_DECREF(exc);
}

/* A keyword name that is no str. */
static Py_NO_INLINE PyObject *
keyword_not_str(PyObject *key)
{
    PyObject *qualname =
        PyObject_GetAttrString((PyObject *)Py_TYPE(key), "__qualname__");
    if (qualname != NULL && PyUnicode_Check(qualname) &&
        PyUnicode_AsUTF8AndSize(qualname, NULL) != NULL)
        PyErr_Format(PyExc_TypeError,
                     "'%U' object cannot be converted to 'PyString'",
                     qualname);
    else {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError,
                        "'<failed to extract type name>' object cannot be "
                        "converted to 'PyString'");
    }
    Py_XDECREF(qualname);
    return NULL;
}

#endif
