/* The class group's yardstick: geo::Vec2 and dot in plain C, with the
 * observable behaviour of a Python class of the same signatures (binding
 * errors as the interpreter words them for a def, self counted; __eq__
 * without __hash__, so instances are unhashable) and krenn's conversion
 * errors, written as fast as we know how. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <math.h>
#include <string.h>

#include "binding.h"

typedef struct {
    PyObject_HEAD
    double x, y;
    /* 0 until __init__ ran: a subclass may skip it. */
    char ready;
} Vec2;

static PyTypeObject Vec2_Type;

static signature init_sig = {"Vec2.__init__", 1, 2, 0, {"x", "y"}, {0}};
static signature length_sig = {"Vec2.length", 1, 0, 0, {0}, {0}};
static signature scaled_sig = {"Vec2.scaled", 1, 1, 1, {"k"}, {0}};
static signature scale_by_sig = {"Vec2.scale_by", 1, 1, 1, {"k"}, {0}};
static signature unit_x_sig = {"Vec2.unit_x", 0, 0, 0, {0}, {0}};
static signature dot_sig = {"dot", 0, 2, 2, {"a", "b"}, {0}};

/* --- instances ------------------------------------------------------------ */

static Py_NO_INLINE PyObject *
not_ready(PyObject *o)
{
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object is not initialized: its __init__ did not "
                 "call Vec2.__init__",
                 Py_TYPE(o)->tp_name);
    return NULL;
}

#define READY(o) (((Vec2 *)(o))->ready || not_ready((PyObject *)(o)))

/* A new Vec2 for a result: always the bound type itself. */
static inline PyObject *
new_vec2(double x, double y)
{
    Vec2 *v = PyObject_Malloc(sizeof(Vec2));
    if (v == NULL)
        return PyErr_NoMemory();
    PyObject_Init((PyObject *)v, &Vec2_Type);
    v->x = x;
    v->y = y;
    v->ready = 1;
    return (PyObject *)v;
}

/* Vec2 in a parameter: the type or a subclass, constructed. */
static inline Vec2 *
as_vec2(PyObject *o, const char *param)
{
    if (Py_IS_TYPE(o, &Vec2_Type) || PyType_IsSubtype(Py_TYPE(o), &Vec2_Type))
        return READY(o) ? (Vec2 *)o : NULL;
    not_convertible(o, param, -1, "Vec2");
    return NULL;
}

/* __init__'s work for the call shapes the fast paths leave. */
static Py_NO_INLINE int
init_bound(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
           double *x, double *y)
{
    PyObject *slots[2];
    if (bind(&init_sig, args, nargs, kwnames, slots) < 0)
        return -1;
    int failed = 0;
    *x = slots[0] != NULL ? to_f64(slots[0], "x", -1, &failed) : 0.0;
    if (failed)
        return -1;
    *y = slots[1] != NULL ? to_f64(slots[1], "y", -1, &failed) : 0.0;
    return failed ? -1 : 0;
}

/* Vec2(...) itself: no tuple, no dict, one allocation. Subclasses are
 * built through tp_new and tp_init, since this slot is not inherited. */
static PyObject *
vec2_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                PyObject *kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    double x, y;
    if (nargs == 2 && kwnames == NULL && exact_f64(args[0], &x) &&
        exact_f64(args[1], &y))
        return new_vec2(x, y);
    if (init_bound(args, nargs, kwnames, &x, &y) < 0)
        return NULL;
    return new_vec2(x, y);
}

static PyObject *
vec2_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != NULL) {
        ((Vec2 *)self)->x = ((Vec2 *)self)->y = 0.0;
        ((Vec2 *)self)->ready = 0;
    }
    return self;
}

static int
vec2_init(PyObject *self, PyObject *args, PyObject *kwds)
{
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwds != NULL ? PyDict_GET_SIZE(kwds) : 0;
    double x, y;
    int rc;
    if (nkw == 0)
        rc = init_bound(&PyTuple_GET_ITEM(args, 0), nargs, NULL, &x, &y);
    else {
        PyObject **stack = PyMem_Malloc((nargs + nkw) * sizeof(PyObject *));
        PyObject *kwnames = PyTuple_New(nkw);
        if (stack == NULL || kwnames == NULL) {
            PyMem_Free(stack);
            Py_XDECREF(kwnames);
            PyErr_NoMemory();
            return -1;
        }
        for (Py_ssize_t i = 0; i < nargs; i++)
            stack[i] = PyTuple_GET_ITEM(args, i);
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames, k, Py_NewRef(key));
            stack[nargs + k++] = value;
        }
        rc = init_bound(stack, nargs, kwnames, &x, &y);
        PyMem_Free(stack);
        Py_DECREF(kwnames);
    }
    if (rc < 0)
        return -1;
    ((Vec2 *)self)->x = x;
    ((Vec2 *)self)->y = y;
    ((Vec2 *)self)->ready = 1;
    return 0;
}

static void
vec2_dealloc(PyObject *self)
{
    Py_TYPE(self)->tp_free(self);
}

/* --- methods --------------------------------------------------------------- */

static PyObject *
vec2_length(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
            PyObject *kwnames)
{
    if ((nargs != 0 || kwnames != NULL) &&
        bind(&length_sig, args, nargs, kwnames, NULL) < 0)
        return NULL;
    if (!READY(self))
        return NULL;
    return PyFloat_FromDouble(hypot(((Vec2 *)self)->x, ((Vec2 *)self)->y));
}

/* The one parameter k of scaled and scale_by, or -1 with an error set. */
static inline int
arg_k(const signature *sig, PyObject *const *args, Py_ssize_t nargs,
      PyObject *kwnames, double *k)
{
    PyObject *o;
    if (nargs == 1 && kwnames == NULL)
        o = args[0];
    else if (bind(sig, args, nargs, kwnames, &o) < 0)
        return -1;
    int failed = 0;
    *k = to_f64(o, "k", -1, &failed);
    return failed ? -1 : 0;
}

static PyObject *
vec2_scaled(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
            PyObject *kwnames)
{
    double k;
    if (arg_k(&scaled_sig, args, nargs, kwnames, &k) < 0 || !READY(self))
        return NULL;
    return new_vec2(((Vec2 *)self)->x * k, ((Vec2 *)self)->y * k);
}

static PyObject *
vec2_scale_by(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
              PyObject *kwnames)
{
    double k;
    if (arg_k(&scale_by_sig, args, nargs, kwnames, &k) < 0 || !READY(self))
        return NULL;
    ((Vec2 *)self)->x *= k;
    ((Vec2 *)self)->y *= k;
    Py_RETURN_NONE;
}

static PyObject *
vec2_unit_x(PyObject *unused, PyObject *const *args, Py_ssize_t nargs,
            PyObject *kwnames)
{
    if ((nargs != 0 || kwnames != NULL) &&
        bind(&unit_x_sig, args, nargs, kwnames, NULL) < 0)
        return NULL;
    return new_vec2(1.0, 0.0);
}

/* repr(v) for a double v at p, returning the end: whole numbers below
 * 1e16 are their digits and ".0" (none closer to another double needs
 * fewer), the rest come from the interpreter's own shortest repr. */
static inline char *
put_float_repr(char *p, double v)
{
    if (fabs(v) < 1e16 && v == (double)(long long)v) {
        long long n = (long long)v;
        if (n < 0 || (n == 0 && signbit(v)))
            *p++ = '-';
        unsigned long long m = n < 0 ? 0 - (unsigned long long)n
                                     : (unsigned long long)n;
        char digits[20], *d = digits + sizeof(digits);
        do {
            *--d = (char)('0' + m % 10);
            m /= 10;
        } while (m != 0);
        size_t len = (size_t)(digits + sizeof(digits) - d);
        memcpy(p, d, len);
        memcpy(p + len, ".0", 2);
        return p + len + 2;
    }
    char *s = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, NULL);
    if (s == NULL)
        return NULL;
    size_t len = strlen(s);
    memcpy(p, s, len);
    PyMem_Free(s);
    return p + len;
}

/* "Vec2(x, y)" with both as repr(float) writes them. */
static PyObject *
vec2_repr(PyObject *self)
{
    if (!READY(self))
        return NULL;
    /* A repr(float) takes at most 24 bytes. */
    char buf[64], *p = buf;
    memcpy(p, "Vec2(", 5);
    p = put_float_repr(p + 5, ((Vec2 *)self)->x);
    if (p != NULL) {
        memcpy(p, ", ", 2);
        p = put_float_repr(p + 2, ((Vec2 *)self)->y);
    }
    if (p == NULL)
        return NULL;
    *p++ = ')';
    return ascii_str(buf, p - buf);
}

/* __eq__ alone, as a Python class has it: != is its negation, the
 * orderings and any other operand are NotImplemented. */
static PyObject *
vec2_richcompare(PyObject *a, PyObject *b, int op)
{
    if ((op != Py_EQ && op != Py_NE) ||
        !(Py_IS_TYPE(b, &Vec2_Type) ||
          PyType_IsSubtype(Py_TYPE(b), &Vec2_Type)))
        Py_RETURN_NOTIMPLEMENTED;
    if (!READY(a) || !READY(b))
        return NULL;
    const Vec2 *u = (const Vec2 *)a, *v = (const Vec2 *)b;
    int eq = u->x == v->x && u->y == v->y;
    return Py_NewRef(eq == (op == Py_EQ) ? Py_True : Py_False);
}

/* --- attributes -------------------------------------------------------- */

static Py_NO_INLINE int
property_lacks(PyObject *self, const char *name, const char *what)
{
    PyObject *type_name = PyType_GetName(Py_TYPE(self));
    if (type_name != NULL) {
        PyErr_Format(PyExc_AttributeError,
                     "property '%s' of '%U' object has no %s", name,
                     type_name, what);
        Py_DECREF(type_name);
    }
    return -1;
}

static PyObject *
get_x(PyObject *self, void *unused)
{
    return READY(self) ? PyFloat_FromDouble(((Vec2 *)self)->x) : NULL;
}

static int
set_x(PyObject *self, PyObject *value, void *unused)
{
    if (value == NULL)
        return property_lacks(self, "x", "deleter");
    int failed = 0;
    double x = to_f64(value, "x", -1, &failed);
    if (failed || !READY(self))
        return -1;
    ((Vec2 *)self)->x = x;
    return 0;
}

static PyObject *
get_y(PyObject *self, void *unused)
{
    return READY(self) ? PyFloat_FromDouble(((Vec2 *)self)->y) : NULL;
}

static int
set_y(PyObject *self, PyObject *value, void *unused)
{
    return property_lacks(self, "y", value == NULL ? "deleter" : "setter");
}

/* --- the type and the module ------------------------------------------- */

static PyObject *
dot(PyObject *module, PyObject *const *args, Py_ssize_t nargs,
    PyObject *kwnames)
{
    PyObject *oa, *ob;
    if (nargs == 2 && kwnames == NULL) {
        oa = args[0];
        ob = args[1];
    }
    else {
        PyObject *slots[2];
        if (bind(&dot_sig, args, nargs, kwnames, slots) < 0)
            return NULL;
        oa = slots[0];
        ob = slots[1];
    }
    const Vec2 *a = as_vec2(oa, "a");
    const Vec2 *b = a != NULL ? as_vec2(ob, "b") : NULL;
    if (b == NULL)
        return NULL;
    return PyFloat_FromDouble(a->x * b->x + a->y * b->y);
}

#define FASTCALL(f) (PyCFunction)(void (*)(void))(f)
#define FASTCALL_KW (METH_FASTCALL | METH_KEYWORDS)

static PyMethodDef vec2_methods[] = {
    {"length", FASTCALL(vec2_length), FASTCALL_KW,
     "length($self)\n--\n\nIts length."},
    {"scaled", FASTCALL(vec2_scaled), FASTCALL_KW,
     "scaled($self, k)\n--\n\nScaled by k."},
    {"scale_by", FASTCALL(vec2_scale_by), FASTCALL_KW,
     "scale_by($self, k)\n--\n\nScales in place."},
    {"unit_x", FASTCALL(vec2_unit_x), FASTCALL_KW | METH_STATIC,
     "unit_x()\n--\n\nThe unit vector along x."},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef vec2_getset[] = {
    {"x", get_x, set_x, "The x coordinate.", NULL},
    {"y", get_y, set_y, "The y coordinate.", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyTypeObject Vec2_Type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "bench_limit_classes.Vec2",
    .tp_basicsize = sizeof(Vec2),
    .tp_dealloc = vec2_dealloc,
    .tp_repr = vec2_repr,
    .tp_hash = PyObject_HashNotImplemented,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Vec2(x=0.0, y=0.0)\n--\n\nA 2-D vector.",
    .tp_richcompare = vec2_richcompare,
    .tp_methods = vec2_methods,
    .tp_getset = vec2_getset,
    .tp_init = vec2_init,
    .tp_new = vec2_new,
    .tp_free = PyObject_Free,
    .tp_vectorcall = vec2_vectorcall,
};

static PyMethodDef methods[] = {
    {"dot", FASTCALL(dot), FASTCALL_KW,
     "dot(a, b)\n--\n\nThe dot product."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "bench_limit_classes", "geo::Vec2 in plain C.", -1,
    methods,
};

PyMODINIT_FUNC
PyInit_bench_limit_classes(void)
{
    /* The compiler interns identifier-like keyword names, so call sites
     * hand us these very objects. */
    signature *sigs[] = {&init_sig, &scaled_sig, &scale_by_sig, &dot_sig};
    for (size_t s = 0; s < sizeof(sigs) / sizeof(sigs[0]); s++)
        for (int i = 0; i < sigs[s]->nparams; i++) {
            sigs[s]->interned[i] =
                PyUnicode_InternFromString(sigs[s]->params[i]);
            if (sigs[s]->interned[i] == NULL)
                return NULL;
        }
    if (PyType_Ready(&Vec2_Type) < 0)
        return NULL;
    PyObject *m = PyModule_Create(&module);
    if (m != NULL && PyModule_AddObjectRef(m, "Vec2", (PyObject *)&Vec2_Type) < 0)
        Py_CLEAR(m);
    return m;
}
