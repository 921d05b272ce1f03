"""Child-side harness: fail one allocation after another inside a call.

    python -c "import allocation_sweep; allocation_sweep.main('f(1)', 'interpreter')"

Every outcome must be MemoryError or the call's normal outcome, and nothing
may reach sys.excepthook or sys.unraisablehook.
"""

import os
import sys

sys.path.insert(0, os.environ["KRENN_TESTMOD_PATH"])

import _krenn_testing as t
import krenn_python


class Index:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class NotInt:
    def __index__(self):
        return "x"


def caused():
    error = TypeError("wrapped")
    error.__cause__ = ValueError("cause")
    return error


def hook(*args):
    # Put back first, so that the report cannot fail on a swept allocation.
    sys.excepthook, sys.unraisablehook = sys.__excepthook__, sys.__unraisablehook__
    print("hook called:", args, file=sys.stderr)


def outcome(e):
    return e if isinstance(e, tuple) else (type(e).__name__, str(e))


def lost_by_interpreter(got, normal):
    # 3.11 drops the error of a Python frame whose frame object it cannot make,
    # and reports "returned NULL without setting an exception"; and an error
    # raised with PyErr_SetString or PyErr_Format whose message cannot be made
    # is raised without one (the frame then wraps the empty text).
    if got[0] == "SystemError" and "without setting" in got[1]:
        return True
    lost_text = got[1] == "" or (got[1].endswith(": ") and normal[1].startswith(got[1]))
    return got[0] == normal[0] and lost_text


# The call stands inline in a frame whose frame object exists already, for
# the same reason: a lambda per call would run into that loss itself.
SWEEP = """
def sweep(fail, done):
    sys._getframe()
    try:
        normal = ("ok", CALL)
    except BaseException as e:
        normal = e
    normal = outcome(normal)
    n = streak = 0
    while not done(streak):
        try:
            fail(n)
            got = ("ok", CALL)
        except MemoryError:
            got = None
        except BaseException as e:
            got = e
        finally:
            done(None)
        if got is not None:
            got = outcome(got)
            assert got == normal or lost_by_interpreter(got, normal), (n, got, normal)
        streak = streak + 1 if got == normal else 0
        n += 1
    return n
"""


def interpreter_failures():
    import _testcapi

    def fail(n):
        _testcapi.set_nomemory(n, n + 1)

    def done(streak):
        if streak is None:
            _testcapi.remove_mem_hooks()
            return False
        return streak >= 30

    return fail, done


def frame_failures():
    pending = [False]

    def fail(n):
        t.fail_allocation(n)

    def done(streak):
        if streak is None:
            pending[0] = t.allocation_failure_pending()
            return False
        return pending[0]

    return fail, done


def main(call, source):
    if source == "interpreter":
        f = krenn_python.sum_as_string
        fail, done = interpreter_failures()
    else:
        # The same function built into the test module, whose operator new fails.
        f = t.sum_as_string()
        fail, done = frame_failures()
    namespace = dict(globals(), f=f, t=t)
    exec(SWEEP.replace("CALL", call), namespace)
    sys.excepthook = sys.unraisablehook = hook
    counts = [namespace["sweep"](fail, done)]
    try:
        raise KeyError("being handled")
    except KeyError:
        counts.append(namespace["sweep"](fail, done))
    print(counts)
