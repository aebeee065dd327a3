"""Every benchmark row in one run, each printed as the module's figure beside its baselines and the
ratios (module / baseline; below 1 the module costs less). Wall times come from interleaved runs
(best and median); instruction counts from callgrind. `--no-callgrind` leaves those out."""
import sys

import calls
import imports
import log_tail


def show(name, unit, module, baselines):
    """One row: the module's figure, then each baseline with the ratio against it."""
    text = f"{name:46} {module:10.2f}"
    for label, value in baselines:
        text += f" | {label} {value:10.2f} = {module / value:6.3g}x"
    print(f"{text}   ({unit})")


def main():
    print("calls: module | lean Python | equally strict Python (best of interleaved runs)")
    for case in calls.CASES:
        best = calls.measure(case)
        baselines = [("lean", best["lean"])] + ([("strict", best["strict"])] if "strict" in best else [])
        show(case.name, "ns per call", best["module"], baselines)

    if "--no-callgrind" not in sys.argv:
        import callgrind
        print("\ninstructions per call (callgrind): module | lean Python | equally strict Python")
        for name, count in callgrind.instruction_counts().items():
            show(name, "Ir per call", count["module"], [("lean", count["lean"]), ("strict", count["strict"])])

    print("\nimport of the log reader, outside modules loaded (fresh interpreters): module | Python module")
    times = imports.import_times()
    for index, kind in enumerate(("best", "median")):
        show(f"import, {kind}", "us", times["module"][index] / 1e3, [("python", times["python"][index] / 1e3)])

    print("\nlog tail, 10 MB log + 10 MB backup: module | Python pipeline | tail -n (a process per read)")
    tail, everything, used = log_tail.measure()
    for index, kind in enumerate(("best", "median")):
        show(f"get_recent_log_lines(api, 500), {kind}", "ms", tail["module"][index] / 1e6,
             [("python", tail["python"][index] / 1e6), ("tail -n", tail["tail -n"][index] / 1e6)])
    for index, kind in enumerate(("best", "median")):
        show(f"get_recent_log_lines(api, -1), {kind}", "ms", everything["module"][index] / 1e6,
             [("python", everything["python"][index] / 1e6)])
    show("peak memory growth, n=500, tracemalloc", "MB", used["module"][0] / 2**20,
         [("python", used["python"][0] / 2**20)])
    show("peak memory growth, n=500, resident set", "MB", used["module"][1] / 2**20,
         [("python", used["python"][1] / 2**20)])


if __name__ == "__main__":
    main()
