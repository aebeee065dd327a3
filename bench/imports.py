"""The cost of importing the log reader with its outside modules already loaded: the built module
against bench/python_logs.py (its bytecode cached), each import timed in a fresh interpreter."""
import os
import statistics
import subprocess
import sys

_here = os.path.dirname(os.path.abspath(__file__))
_top = os.path.dirname(_here)
PATH = [os.path.join(os.environ.get("VORNAL_BUILD", os.path.join(_top, "build")), "python"),
        os.path.join(_top, "host"), _here]

# Everything both modules import from outside, and the package that holds the built module, loaded
# before the clock starts.
PRELOAD = ("re", "collections", "enum", "pathlib", "typing", "vornal_api", "vornal_api.python_api.admin",
           "vornal_api.app.exceptions.admin.logs_handler", "vornal_client.settings.folders", "vornal_sync_agent")

MODULES = {"module": "vornal_api.python_api.admin.logs", "python": "python_logs"}

TIMED_IMPORT = """
import importlib, sys, time
sys.path[:0] = {path!r}
for name in {preload!r}:
    importlib.import_module(name)
start = time.perf_counter_ns()
importlib.import_module({module!r})
print(time.perf_counter_ns() - start)
"""


def import_ns(module):
    script = TIMED_IMPORT.format(path=PATH, preload=PRELOAD, module=module)
    return int(subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True).stdout)


def import_times(rounds=15):
    """{column: (best, median) nanoseconds}, the columns interleaved."""
    import_ns(MODULES["python"])  # leaves the bytecode cached, as an installed module has it
    samples = {column: [] for column in MODULES}
    for _ in range(rounds):
        for column, module in MODULES.items():
            samples[column].append(import_ns(module))
    return {column: (min(times), statistics.median(times)) for column, times in samples.items()}


if __name__ == "__main__":
    for column, (best, median) in import_times().items():
        print(f"{column:8} best {best / 1e3:8.0f} us   median {median / 1e3:8.0f} us")
