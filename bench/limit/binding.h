/* Arguments bound to parameters as the interpreter binds them for a def,
 * with its error texts, for the calls the limits' fast paths leave.
 * Included once per module, so all stay static. */
#ifndef BENCH_LIMIT_BINDING_H
#define BENCH_LIMIT_BINDING_H

#include "numbers.h"

/* A def's name and parameters, for binding and its error texts. */
typedef struct {
    const char *name; /* as __qualname__ gives it */
    int self;         /* counted in the interpreter's texts */
    int nparams;
    int nrequired; /* the rest have defaults */
    const char *params[2];
    PyObject *interned[2];
} signature;

static Py_NO_INLINE void
too_many_positional(const signature *sig, Py_ssize_t nargs)
{
    int most = sig->nparams + sig->self, least = sig->nrequired + sig->self;
    size_t given = (size_t)nargs + (size_t)sig->self;
    text_buf t;
    t.n = 0;
    put(&t, sig->name, strlen(sig->name));
    PUT(&t, "() takes ");
    if (least < most) {
        PUT(&t, "from ");
        put_count(&t, (size_t)least);
        PUT(&t, " to ");
    }
    put_count(&t, (size_t)most);
    if (most == 1 && least == most)
        PUT(&t, " positional argument but ");
    else
        PUT(&t, " positional arguments but ");
    put_count(&t, given);
    if (given == 1)
        PUT(&t, " was given");
    else
        PUT(&t, " were given");
    raise_text(ascii_str(t.buf, t.n));
}

static Py_NO_INLINE void
missing(const signature *sig, PyObject *const *slots)
{
    const char *names[2];
    int n = 0;
    for (int i = 0; i < sig->nrequired; i++)
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

/* The parameter a keyword names, by identity with the interned names and
 * then by value, as the interpreter matches them: -1 if none, -2 with an
 * error set. */
static int
kw_index(const signature *sig, PyObject *key)
{
    for (int i = 0; i < sig->nparams; i++)
        if (key == sig->interned[i])
            return i;
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings",
                     sig->name);
        return -2;
    }
    for (int i = 0; i < sig->nparams; i++) {
        int eq = PyObject_RichCompareBool(key, sig->interned[i], Py_EQ);
        if (eq != 0)
            return eq > 0 ? i : -2;
    }
    return -1;
}

/* The interpreter's order: keywords first, then the positional count,
 * then what is missing. Unfilled optional slots stay NULL. */
static Py_NO_INLINE int
bind(const signature *sig, PyObject *const *args, Py_ssize_t nargs,
     PyObject *kwnames, PyObject **slots)
{
    for (int i = 0; i < sig->nparams; i++)
        slots[i] = i < nargs ? args[i] : NULL;
    Py_ssize_t nkw = kwnames != NULL ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        int i = kw_index(sig, key);
        if (i == -2)
            return -1;
        if (i == -1) {
            PyObject *shown = display(key);
            if (shown != NULL) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got an unexpected keyword argument '%U'",
                             sig->name, shown);
                Py_DECREF(shown);
            }
            return -1;
        }
        if (slots[i] != NULL) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for argument '%s'",
                         sig->name, sig->params[i]);
            return -1;
        }
        slots[i] = args[nargs + k];
    }
    if (nargs > sig->nparams) {
        too_many_positional(sig, nargs);
        return -1;
    }
    for (int i = 0; i < sig->nrequired; i++)
        if (slots[i] == NULL) {
            missing(sig, slots);
            return -1;
        }
    return 0;
}

#endif
