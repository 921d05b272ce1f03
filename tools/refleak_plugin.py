"""Reference-leak checks for pytest on a debug interpreter, after regrtest -R.

Each test runs KRENN_REFLEAK_WARMUPS times unmeasured, then KRENN_REFLEAK_RUNS
times measured (default 3 and 3), each run with its own setup and teardown of
the test's function-scoped fixtures; one more run, the one reported, tears
down wider fixtures as usual. A test fails when sys.gettotalrefcount() or
sys.getallocatedblocks() grew on every measured run.

Use: python -m pytest -p refleak_plugin (with tools/ on sys.path).
"""

from __future__ import annotations

import gc
import os
import sys

import pytest
from _pytest.runner import runtestprotocol

WARMUPS = int(os.environ.get("KRENN_REFLEAK_WARMUPS", "3"))
RUNS = int(os.environ.get("KRENN_REFLEAK_RUNS", "3"))

# Tests that cannot be measured by repeating them in one process, by node id
# without parameters, or by file. Each still runs once, unmeasured.
ONCE = "a module spec initializes once per process, so a second run cannot pass"
KEPT_TEXTS = "_krenn_testing.new_function keeps name and doc bytes for good, as records need"
HOOK_CYCLE = "keeps UnraisableHookArgs in a cycle that 3.11 never frees"
FRESH_ENV = "builds and installs into a fresh environment; the frame runs only in children"
BUILDS = "runs CMake and the compiler, not the frame; tmp_path and subprocess keep records"
EXEMPT = {
    "tests/test_module.py::test_make_module_once": ONCE,
    "tests/test_module.py::test_failed_create_leaves_flag_unset": ONCE,
    "tests/test_module.py::test_failed_body_sets_flag": ONCE,
    "tests/test_pool.py::test_registration_after_list_destroyed_is_never_released": (
        "the reference it registers after thread exit is never released, by design"
    ),
    "tests/test_format.py::test_function_texts_with_nul": KEPT_TEXTS,
    "tests/test_format.py::test_new_function_binds_to_module_and_adds_to_all": KEPT_TEXTS,
    "tests/test_sum_as_string.py::test_other_error_types_pass_unchanged": (
        "raises one parametrized exception on every run; each raise lengthens its traceback"
    ),
    # The hook's UnraisableHookArgs, kept in a list the test's frame holds, closes
    # a cycle that even gc.collect() leaves; a Python __del__ that raises, with
    # the same hook, grows alike. The frame's side, with a hook that keeps only
    # the type, gains nothing (test_binding_model.py reaches it that way).
    "tests/test_errors.py::test_report_unraisable": HOOK_CYCLE,
    "tests/test_classes.py::test_a_throwing_destructor_is_unraisable": HOOK_CYCLE,
    "tests/test_classes.py::test_classes_cross_modules": ONCE,
    "tests/test_format.py::test_display_object": HOOK_CYCLE,
    "tests/test_format.py::test_display_object_with_non_str_qualname": HOOK_CYCLE,
    "tests/test_sum_as_string.py::test_unprintable_error_value_uses_placeholder": HOOK_CYCLE,
    "tests/test_declared.py::test_mismatched_declarations_do_not_compile": (
        "runs the compiler, not the frame; tmp_path and subprocess keep records of their own"
    ),
    "tests/test_frame_package.py::test_wheel_is_pure_and_holds_headers_sources_and_package": (
        FRESH_ENV
    ),
    "tests/test_frame_package.py::test_example_builds_out_of_tree_and_passes_its_tests": (
        FRESH_ENV
    ),
    "tests/test_frame_package.py::test_class_example_builds_out_of_tree_and_passes_its_tests": (
        FRESH_ENV
    ),
    "tests/test_declaration_checks.py::test_declaration_mistakes_do_not_compile": BUILDS,
    "tests/test_classes.py::test_the_stub_agrees_with_the_classes": (
        "runs stubtest in a child; tmp_path and subprocess keep records of their own"
    ),
    "tests/test_build_policy.py::test_the_users_flags_reach_the_frame_and_nothing_is_forced": (
        BUILDS
    ),
    "tests/test_build_policy.py::test_modules_build_and_import_and_an_unresolved_name_fails_the_build": (
        BUILDS
    ),
    "tests/test_survival.py::test_import_and_first_error_under_allocation_failure": (
        "loads fresh copies of the module, and each stays loaded with its own slots"
    ),
}
# Unless the test module can empty it, its error registry keeps every PyErr
# those tests make for the rest of the process.
REGISTRY_USERS = (
    "tests/test_errors.py::",
    "tests/test_format.py::test_debug_error_forms",
    "tests/test_format.py::test_debug_error_with_traceback",
)
REGISTRY_REASON = "keeps each PyErr in _krenn_testing's registry; it has no err_clear()"
# Not run at all on the debug interpreter.
SKIP = {
    "tests/test_errors.py::test_fetch_with_nothing_pending": (
        "counts None's references exactly across a loop of calls; after other tests the "
        "debug interpreter drops one in such a loop even when the callee is a raw C "
        "function that never touches None"
    ),
}


checked: list[str] = []
exempted: list[tuple[str, str]] = []


def pytest_configure(config: pytest.Config) -> None:
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("refleak_plugin needs a debug build of the interpreter")
    config.addinivalue_line(
        "markers", "refleak_exempt(reason): run once, without the reference-leak check"
    )
    try:
        from hypothesis import settings
    except ImportError:
        return
    # Without the example database each run draws afresh and writes no files.
    settings.register_profile("refleak", database=None, derandomize=True)
    settings.load_profile("refleak")


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        if (reason := SKIP.get(item.nodeid.split("[", 1)[0])) is not None:
            item.add_marker(pytest.mark.skip(reason=reason))


def _registry_clear():
    testing = sys.modules.get("_krenn_testing")
    return getattr(testing, "err_clear", None)


def _exemption(item: pytest.Item) -> str | None:
    marker = item.get_closest_marker("refleak_exempt")
    if marker is not None:
        return marker.kwargs.get("reason", marker.args[0] if marker.args else "marked")
    if item.nodeid.startswith(REGISTRY_USERS) and _registry_clear() is None:
        return REGISTRY_REASON
    return EXEMPT.get(item.nodeid.split("[", 1)[0])


def _totals() -> tuple[int, int]:
    if (clear := _registry_clear()) is not None:
        clear()
    sys._clear_type_cache()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def _leaking(deltas: list[int]) -> bool:
    # As regrtest: one-off growth such as [3, 0, 0] or [0, 1, 0] is noise.
    return all(delta >= 1 for delta in deltas)


def _run(item: pytest.Item, nextitem: pytest.Item | None, log: bool) -> list:
    reports = runtestprotocol(item, nextitem=nextitem, log=log)
    # Captured output is kept per item; repeated runs would pile it up.
    item._report_sections.clear()
    return reports


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item: pytest.Item, nextitem: pytest.Item | None) -> bool | None:
    if (reason := _exemption(item)) is not None:
        exempted.append((item.nodeid, reason))
        return None
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    # Preallocated and filled with small ints, so the bookkeeping itself
    # settles during the warm-up like everything else.
    ref_deltas = [0] * RUNS
    block_deltas = [0] * RUNS
    refs_before = blocks_before = 0
    broken = None
    for i in range(WARMUPS + RUNS):
        # Tearing down towards the parent ends the item's own fixtures only;
        # wider ones stay for the last run, which is the one reported.
        reports = _run(item, item.parent, log=False)
        if any(r.failed or r.skipped for r in reports):
            broken = reports
            break
        refs_after, blocks_after = _totals()
        if i >= WARMUPS:
            ref_deltas[i - WARMUPS] = refs_after - refs_before
            block_deltas[i - WARMUPS] = blocks_after - blocks_before
        refs_before, blocks_before = refs_after, blocks_after
    final = _run(item, nextitem, log=False)
    if broken is not None:
        # What failed or skipped in an earlier run is what counts.
        final = [r for r in broken if r.when != "teardown"] + [
            r for r in final if r.when == "teardown"
        ]
    else:
        problems = []
        if _leaking(ref_deltas):
            problems.append(f"references {ref_deltas}")
        if _leaking(block_deltas):
            problems.append(f"memory blocks {block_deltas}")
        call = next((r for r in final if r.when == "call"), None)
        if call is not None and call.passed:
            if problems:
                call.outcome = "failed"
                call.longrepr = f"leaked {' and '.join(problems)} over {RUNS} runs"
            else:
                checked.append(item.nodeid)
    for report in final:
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def pytest_terminal_summary(terminalreporter) -> None:
    write = terminalreporter.write_line
    for nodeid, reason in exempted:
        write(f"refleak: not checked {nodeid}: {reason}")
    write(
        f"refleak: {len(checked)} tests without leaks over {WARMUPS} warm-up + {RUNS} "
        f"measured runs; {len(exempted)} not checked"
    )
