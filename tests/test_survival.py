"""Hostile but ordinary Python: the process goes on wherever the interpreter's does.

Every case that could end the process runs in a child interpreter.
"""

import io
import operator
import re
import sys
import textwrap

import pytest

import _krenn_testing as t
import krenn_python

f = krenn_python.sum_as_string
# The same function built into the test module, which raises its PanicException.
g = t.sum_as_string()
PanicException = type(t.err_value(t.err_new("panic", "x")))
PRELUDE = (
    "import os, sys\nsys.path.insert(0, os.environ['KRENN_TESTMOD_PATH'])\n"
    "import _krenn_testing as t, krenn_python\nf = krenn_python.sum_as_string\n"
)
with open("/proc/self/maps") as maps:
    UNDER_ASAN = "libasan" in maps.read()
# Both make every C frame larger, the interpreter's own included.
BIG_FRAMES = UNDER_ASAN or hasattr(sys, "gettotalrefcount")


def child(python_run, code, timeout=120):
    proc = python_run(PRELUDE + textwrap.dedent(code), timeout=timeout)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc


class Index:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


EXIT_INSIDE = """
    import threading, time
    N = 8
    lock, inside, ready = threading.Lock(), set(), threading.Event()
    def doze(sleep=time.sleep):
        with lock:
            inside.add(threading.get_ident())
            if len(inside) == N:
                ready.set()
        sleep(0.002)
    class Discard:
        def write(self, text): pass
        def flush(self): pass
    try:
        f(1.5, 2)
    except TypeError:
        pass
    (Panic,) = [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"]
    def panic_str(self):
        doze()
        return "slow"
    class Unprintable:
        def __str__(self):
            raise ValueError("unprintable")
    class Index:
        def __index__(self):
            if PATH == "plain":
                doze()
                return 1
            if PATH == "resume":
                raise Panic()
            raise TypeError(Unprintable())
    if PATH == "resume":
        Panic.__str__ = panic_str
        sys.stderr = Discard()  # the resumed panic's traceback, every call
    else:
        sys.unraisablehook = lambda report: doze()
    def work():
        while True:
            try:
                f(Index(), 1)
            except BaseException:
                pass
    for _ in range(N):
        threading.Thread(target=work, daemon=True).start()
    ready.wait(60)
    class Linger:
        # Holds finalization open while the workers wake up inside their calls.
        def __del__(self, sleep=time.sleep):
            sleep(0.05)
    linger = Linger()
"""
RESUME_BANNERS = (
    "--- Krenn is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n"
)


@pytest.mark.parametrize("flags", [(), ("-X", "dev")], ids=["plain", "dev"])
@pytest.mark.parametrize("path", ["plain", "resume", "report"])
def test_daemon_threads_inside_calls_at_exit(python_run, path, flags):
    # The main thread exits once every worker is inside a call: in __index__,
    # in the str() of a PanicException being resumed, or in the unraisable
    # report of an unprintable error. The interpreter ends them as they wake.
    code = PRELUDE + f"PATH = {path!r}\n" + textwrap.dedent(EXIT_INSIDE)
    proc = python_run(code, flags=flags)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stderr.replace(RESUME_BANNERS, "") == ""


def test_daemon_threads_inside_gil_free_bodies_at_exit(python_run):
    # They wake during finalization and are ended by a forced unwind on their
    # way back to the GIL; nothing is reported, under the sanitizers either.
    code = """
        import threading, time
        def work():
            while True:
                t.sleep_without_gil(0.001)
        for _ in range(4):
            threading.Thread(target=work, daemon=True).start()
        class Linger:
            def __del__(self, sleep=time.sleep):
                sleep(0.05)
        linger = Linger()
    """
    for _ in range(5):
        assert child(python_run, code).stderr == ""


CALLS = [
    "f(1, 2)",
    "f(a=1, b=2)",
    "f(10**15, 10**15)",
    "f(1)",
    "f(1, 2, 3)",
    "f(1, a=2)",
    "f(1, 2, c=3)",
    "f(1.5, 2)",
    "f(-1, 2)",
    "f(NotInt(), 2)",
    "f(Index(TypeError('boom')), 2)",
    "f(Index(caused()), 2)",
    "t.vectorcall(f, (1, 2), (7,), (3,))",
    "t.vectorcall(f, (1, 2), ('\\udcff',), (3,))",
    "t.panic_with_constant()",
]


@pytest.mark.parametrize("source", ["interpreter", "frame"])
@pytest.mark.parametrize("call", CALLS)
def test_allocation_failure_is_memory_error(python_run, call, source):
    # interpreter: each PyMem/PyObject allocation fails in turn (_testcapi);
    # frame: each operator new of the frame code fails in turn.
    proc = python_run(
        f"import allocation_sweep\nallocation_sweep.main({call!r}, {source!r})", timeout=120
    )
    # Nothing but the panic's own reports, one per attempt that got as far.
    report = (
        r"thread 'main' panicked at tests/testmod/panic\.cpp:\d+:\d+:\na constant panic message\n"
    )
    assert proc.returncode == 0 and re.sub(report, "", proc.stderr) == "", proc.stderr[-3000:]


def test_bad_alloc_in_body_is_memory_error():
    with pytest.raises(MemoryError):
        t.throw_bad_alloc()
    assert f(1, 2) == "3"


def test_import_and_first_error_under_allocation_failure(python_run, tmp_path, monkeypatch):
    # Each attempt loads a fresh copy of the module (its own once-only state),
    # so import and the PanicException made at the first error are swept too.
    # Every copy takes its thread-locals from the static TLS reserve.
    monkeypatch.setenv("GLIBC_TUNABLES", "glibc.rtld.optional_static_tls=4194304")
    code = f"""
        import _testcapi, importlib.util, shutil
        def fresh(name):
            folder = os.path.join({str(tmp_path)!r}, name)
            os.mkdir(folder)
            path = shutil.copy(krenn_python.__file__, folder)
            return importlib.util.spec_from_file_location("krenn_python", path)
        def attempt(n, stage):
            sys._getframe()
            spec = fresh(f"{{stage}}-{{n}}")
            if stage == "first error":
                module = importlib.util.module_from_spec(spec)
            try:
                _testcapi.set_nomemory(n, n + 1)
                if stage == "import":
                    module = importlib.util.module_from_spec(spec)
                else:
                    module.sum_as_string(1.5, 2)
                got = "ok"
            except MemoryError:
                got = None
            except BaseException as e:
                got = e
            finally:
                _testcapi.remove_mem_hooks()
            return got if got in (None, "ok") else (type(got).__name__, str(got))
        float_error = ("TypeError",
                       "argument 'a': 'float' object cannot be interpreted as an integer")
        stages = [("import", "ok"), ("first error", float_error)]
        # 3.13 itself crashes when its extension cache cannot allocate a key.
        for stage, normal in stages[sys.version_info >= (3, 13):]:
            n = streak = 0
            while streak < 5:
                got = attempt(n, stage)
                assert got in (None, normal), (stage, n, got)
                streak = streak + 1 if got == normal else 0
                n += 1
    """
    assert child(python_run, code, timeout=300).stderr == ""


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer reserves the address space itself")
def test_address_space_exhausted(python_run):
    code = """
        import resource
        class Index:
            def __index__(self): raise TypeError("boom")
        with open("/proc/self/statm") as statm:
            size = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))
        hog = []
        for chunk in (1 << 20, 1 << 12, 1 << 6):
            try:
                while True:
                    hog.append(bytearray(chunk))
            except MemoryError:
                pass
        for _ in range(50):
            for call in (lambda: f(1, 2), lambda: f(10**15, 10**15), lambda: f(1),
                         lambda: f(1, 2, c=3), lambda: f(1.5, 2), lambda: f(Index(), 2)):
                try:
                    call()
                except (MemoryError, TypeError):
                    pass
            if hog:
                hog.pop()
    """
    child(python_run, code)


class Shout:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError])
def test_str_failure_that_is_no_ordinary_error_reaches_caller(exc):
    class Key(str):
        def __str__(self):
            raise exc("from str")

    reports = []
    old, sys.unraisablehook = sys.unraisablehook, reports.append
    try:
        with pytest.raises(exc):
            f(Index(TypeError(Shout(exc("from str")))), 2)
        with pytest.raises(exc):
            t.vectorcall(f, (1, 2), (Key("c"),), (3,))
    finally:
        sys.unraisablehook = old
    assert reports == []


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError, ValueError])
def test_error_reading_a_keyword_type_name(exc):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise exc("from __qualname__")
            return super().__getattribute__(name)

    class Name(metaclass=Meta):
        pass

    with pytest.raises(TypeError if exc is ValueError else exc) as info:
        t.vectorcall(f, (1, 2), (Name(),), (3,))
    if exc is ValueError:
        assert (
            str(info.value)
            == "'<failed to extract type name>' object cannot be converted to 'PyString'"
        )


@pytest.mark.parametrize("context", [None, OSError("other")], ids=["cleared", "replaced"])
def test_error_from_python_code_keeps_its_context(context):
    class Index:
        def __index__(self):
            try:
                raise ValueError("boom")
            except ValueError as e:
                e.__context__ = context
                raise

    def context_via(call):
        try:
            raise KeyError("handled")
        except KeyError:
            with pytest.raises(ValueError) as info:
                call(Index())
        return info.value.__context__

    assert context_via(lambda x: f(x, 1)) is context_via(operator.index) is context


def unprintable_report(monkeypatch, hook, write):
    # The error's str() fails, so the frame reports it as unraisable.
    stderr = io.StringIO()
    if write:
        stderr.write = write
    monkeypatch.setattr(sys, "unraisablehook", hook)
    monkeypatch.setattr(sys, "stderr", stderr)
    with pytest.raises(TypeError, match="<unprintable TypeError object>"):
        f(Index(TypeError(Shout(ValueError("unprintable")))), 2)
    return stderr.getvalue()


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("where", ["hook", "stderr"])
def test_interrupt_in_the_unraisable_report_reaches_caller(monkeypatch, where, exc):
    def interrupt(*args):
        raise exc("in the report")

    with pytest.raises(exc, match="in the report"):
        if where == "hook":
            unprintable_report(monkeypatch, interrupt, None)
        else:
            unprintable_report(monkeypatch, sys.__unraisablehook__, interrupt)


def test_failing_unraisable_hook_is_reported_as_the_interpreter_does(monkeypatch):
    import _testcapi

    if not hasattr(_testcapi, "write_unraisable_exc"):
        pytest.skip("this interpreter's _testcapi cannot write an unraisable report")

    def hook(report):
        raise OSError("in the hook")

    text = unprintable_report(monkeypatch, hook, None)
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    _testcapi.write_unraisable_exc(ValueError("unprintable"), None, None)
    assert text == sys.stderr.getvalue()
    assert text.startswith(f"Exception ignored in sys.unraisablehook: {hook!r}\n")


def test_keyboard_interrupts_are_all_delivered(python_run):
    # One alarm at a time, armed inside the try: a repeating timer could fire
    # between two rounds, outside it.
    code = """
        import signal
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        delivered = 0
        while delivered < 300:
            try:
                signal.setitimer(signal.ITIMER_REAL, 0.002)
                while True:
                    try:
                        f(1.5, 2)
                    except TypeError:
                        pass
            except KeyboardInterrupt:
                delivered += 1
    """
    assert child(python_run, code).stderr == ""


@pytest.mark.skipif(BIG_FRAMES, reason="sanitizer or debug build: larger C frames")
def test_recursion_on_a_small_stack_ends_in_recursion_error(python_run):
    code = """
        import threading
        class Again:
            def __index__(self):
                return int(f(self, 1))
        threading.stack_size(1 << 20)
        outcome = []
        def run():
            try:
                f(Again(), 1)
            except RecursionError:
                outcome.append("RecursionError")
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        assert outcome == ["RecursionError"], outcome
    """
    child(python_run, code)


def test_panic_exception_whose_str_panics_again(python_run):
    # str() of the resumed exception raises PanicException itself: no endless
    # resume, and nothing is kept after the call.
    code = """
        import contextlib, gc
        class Discard:
            def write(self, text): pass
            def flush(self): pass
        try:
            f(1.5, 2)
        except TypeError:
            pass
        (Panic,) = [c for c in BaseException.__subclasses__()
                    if c.__name__ == "PanicException" and c.__module__ == "krenn_runtime"]
        def bad_str(self):
            raise Panic("from __str__")
        Panic.__str__ = bad_str
        class Index:
            def __index__(self):
                raise Panic("from __index__")
        def call():
            try:
                f(Index(), 1)
            except Panic as e:
                return e.args
        def grown_over(calls):
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(calls):
                call()
            gc.collect()
            return sys.getallocatedblocks() - before
        with contextlib.redirect_stderr(Discard()):
            assert call() == ("Unwrapped panic from Python code",)
            # The interpreter's caches settle within a few rounds; a leak grows every one.
            grown = min(grown_over(200) for _ in range(4))
        assert grown < 50, grown
    """
    child(python_run, code)


def test_panic_while_a_restored_error_is_built_becomes_panic_exception(capfd):
    # The conversion error for a non-str keyword name reads its type's
    # __qualname__ when it is raised; the metaclass raises PanicException there.
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise PanicException("from __qualname__")
            return super().__getattribute__(name)

    class Name(metaclass=Meta):
        pass

    with pytest.raises(PanicException, match="^from __qualname__$"):
        t.vectorcall(g, (1, 2), (Name(),), (3,))
    assert "resuming a panic" in capfd.readouterr().err
    assert f(1, 2) == "3"


@pytest.mark.parametrize(
    "call",
    [
        lambda: f(1),
        lambda: f(1, 2, 3),
        lambda: f(1, a=2),
        lambda: f(1, 2, c=3),
        lambda: f(1.5, 2),
        lambda: f(-1, 2),
        lambda: t.panic_with_constant(),
    ],
)
def test_errors_raised_while_handling_carry_the_handled_exception(call):
    handled = KeyError("handled")
    try:
        raise handled
    except KeyError:
        with pytest.raises(BaseException) as info:
            call()
    assert info.value.__context__ is handled
    with pytest.raises(BaseException) as info:
        call()
    assert info.value.__context__ is None


def test_context_chaining_breaks_cycles_as_the_interpreter_does():
    def chain(raise_it):
        inner = ValueError("inner")
        outer = KeyError("outer")
        outer.__context__ = inner
        try:
            raise outer
        except KeyError:
            try:
                raise_it(inner)
            except ValueError as e:
                return e.__context__ is outer, outer.__context__

    def by_python(exc):
        raise exc

    def by_frame(exc):
        t.err_raise(t.err_new("from_value", exc))

    assert chain(by_frame) == chain(by_python) == (True, None)


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="3.12 makes the instance on restore")
def test_panic_exception_without_value_resumes_unwrapped(capfd):
    with pytest.raises(PanicException) as info:
        t.err_fetch_given(PanicException)
    assert info.value.args == ("Unwrapped panic from Python code",)
    capfd.readouterr()


def test_panic_converted_while_its_type_is_made(python_run):
    # A gc callback converts a panic on the creating thread while the type is
    # being made: it gets a PanicException, and the first stored type is kept.
    code = """
        import gc
        caught = []
        def callback(phase, info):
            if phase == "start" and not caught:
                caught.append(None)
                try:
                    t.panic_with_constant()
                except BaseException as e:
                    caught[0] = type(e)
        gc.callbacks.append(callback)
        gc.set_threshold(1)
        try:
            t.panic_with_constant()
        except BaseException as e:
            outer = type(e)
        gc.set_threshold(700)
        gc.callbacks.remove(callback)
        assert caught[0].__name__ == "PanicException", caught
        assert outer is caught[0], (outer, caught)
    """
    assert "Python API call failed" not in child(python_run, code).stderr
