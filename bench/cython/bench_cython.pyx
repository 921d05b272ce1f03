# cython: language_level=3, binding=True
from libc.stdint cimport uint64_t


def sum_as_string(uint64_t a, uint64_t b):
    # Summing in C gives the wrap-around modulo 2**64.
    cdef uint64_t s = a + b
    return str(s)


def sum_as_string_fstr(uint64_t a, uint64_t b):
    # Cython formats a C integer in an f-string without a Python int.
    cdef uint64_t s = a + b
    return f"{s}"
