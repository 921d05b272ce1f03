"""Run under callgrind by run.py: python3 bench/cg_probe.py IMPL N [DIR] [GROUP]

DIR, if given and not empty, is searched first for the module (a krenn_python
build that keeps its symbols, so the profile can name functions). GROUP is
the case group: "sum" (the default), "everyday", "classes" or "stdlib".

For every case (and an empty loop) it runs N calls, then 2N calls, dumping
the counters after each, so that (2N segment - N segment) / N is the cost of
one loop iteration with start-up and loop set-up cancelled out.
"""

import gc
import sys

import impls

WARM_UP = 300  # well past the point where 3.11 specialises the call site


def main():
    name, n = sys.argv[1], int(sys.argv[2])
    first = [d for d in sys.argv[3:4] if d]
    group = impls.GROUPS[sys.argv[4] if len(sys.argv) > 4 else "sum"]
    sys.path[:0] = [*first, str(impls.LIB)]
    funcs = group.funcs(name)
    import bench_cgmark

    loops = [
        (key, funcs[key], impls.make_loop(group.stmts[key], funcs[key])) for key in group.case_keys
    ]
    loops.append(("baseline", {"f": None}, impls.make_loop(impls.BASELINE_STMT)))
    gc.disable()  # as timeit does
    for _, env, loop in loops:
        loop(WARM_UP, **env)
    bench_cgmark.dump("setup")
    for key, env, loop in loops:
        loop(n, **env)
        bench_cgmark.dump(f"{key} n")
        loop(2 * n, **env)
        bench_cgmark.dump(f"{key} 2n")


if __name__ == "__main__":
    main()
