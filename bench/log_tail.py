"""The log reader on a 10 MB log plus a 10 MB backup with stack traces: the most recent 500
records against `tail -n` of the same lines (a process started for each read) and against
bench/python_logs.py; everything against the Python equivalent; and the memory the 500-record
tail needs."""
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc

_here = os.path.dirname(os.path.abspath(__file__))
_top = os.path.dirname(_here)
PATH = [os.path.join(os.environ.get("VORNAL_BUILD", os.path.join(_top, "build")), "python"),
        os.path.join(_top, "host"), _here]
sys.path[:0] = PATH

import python_logs  # noqa: E402
from vornal_api.python_api.admin import logs  # noqa: E402

SIZE = 10 * 2**20
TAIL = 500

TRACE = ["Traceback (most recent call last):",
         '  File "/srv/vornal/sync/worker.py", line 214, in run_batch',
         "    result = await connector.fetch(item, timeout=self.timeout)",
         '  File "/srv/vornal/connectors/folder.py", line 88, in fetch',
         "    raise FetchError(f\"cannot read {path}: {error}\") from error",
         "FetchError: cannot read /data/lab-notes/2026/run-0042.h5: [Errno 5] Input/output error"]


def write_log(path, size, seed):
    """Records of one line, a few with a stack trace or a multi-line message, up to `size` bytes."""
    rng = random.Random(seed)
    lines, written, i = [], 0, 0
    while written < size:
        stamp = f"2026-12-10 {i // 3600000 % 24:02d}:{i // 60000 % 60:02d}:{i // 1000 % 60:02d},{i % 1000:03d} "
        level = rng.choice(["INFO", "INFO", "INFO", "DEBUG", "WARNING", "ERROR"])
        record = [f"{stamp}{level} vornal.sync.worker: item {i} of source {rng.randrange(40)} synchronised "
                  f"in {rng.random() * 900:.1f} ms \u2014 {rng.randrange(10**6)} bytes"]
        if level == "ERROR":
            record += TRACE
        elif rng.random() < 0.05:
            record += ["  payload:", f"    {{\"scope\": \"{rng.randrange(10**9):09d}\", \"items\": {rng.randrange(99)}}}"]
        text = "\n".join(record) + "\n"
        lines.append(text)
        written += len(text.encode())
        i += 1
    with open(path, "w", encoding="utf-8", newline="") as out:
        out.writelines(lines)


def make_logs(directory):
    current = os.path.join(directory, logs.API_LOG_FILE_NAME)
    write_log(current + ".1", SIZE, 1)
    write_log(current, SIZE, 2)
    for module in (logs, python_logs):
        module.get_log_dir = lambda: directory
    return current


def tail_lines(records):
    """Physical lines that the given records span."""
    return sum(record.count("\n") + 1 for record in records)


def best_and_median(samples):
    return min(samples), statistics.median(samples)


def timed(call):
    start = time.perf_counter_ns()
    call()
    return time.perf_counter_ns() - start


def tail_times(current, rounds=15):
    """{column: (best, median) ns} of the 500-record tail, the columns interleaved."""
    expected = logs.get_recent_log_lines(logs.LogService.api, TAIL)
    assert expected == python_logs.get_recent_log_lines(python_logs.LogService.api, TAIL)
    command = ["tail", "-n", str(tail_lines(expected)), current]
    assert subprocess.run(command, capture_output=True, check=True).stdout.decode().rstrip("\n").split("\n") == \
        "\n".join(expected).split("\n")
    columns = {"module": lambda: logs.get_recent_log_lines(logs.LogService.api, TAIL),
               "python": lambda: python_logs.get_recent_log_lines(python_logs.LogService.api, TAIL),
               "tail -n": lambda: subprocess.run(command, stdout=subprocess.PIPE, check=True)}
    samples = {column: [] for column in columns}
    for _ in range(rounds):
        for column, call in columns.items():
            samples[column].append(timed(call))
    return {column: best_and_median(times) for column, times in samples.items()}


def everything_times(rounds=5):
    """{column: (best, median) ns} of reading every record (n = -1)."""
    assert logs.get_recent_log_lines(logs.LogService.api, -1) == \
        python_logs.get_recent_log_lines(python_logs.LogService.api, -1)
    columns = {"module": lambda: logs.get_recent_log_lines(logs.LogService.api, -1),
               "python": lambda: python_logs.get_recent_log_lines(python_logs.LogService.api, -1)}
    samples = {column: [] for column in columns}
    for _ in range(rounds):
        for column, call in columns.items():
            samples[column].append(timed(call))
    return {column: best_and_median(times) for column, times in samples.items()}


def traced_peak(call):
    """Peak growth of the memory the interpreter's allocators hand out (tracemalloc) during one call."""
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        call()
        return tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()


RSS_GROWTH = """
import sys
sys.path[:0] = {path!r}
from vornal_api.python_api.admin import logs
import python_logs
module = {{"module": logs, "python": python_logs}}[{column!r}]
module.get_log_dir = lambda: {directory!r}
module.get_recent_log_lines(module.LogService.api, 1)  # the first call's one-off allocations

def status(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # restarts the peak (VmHWM) from the present size
module.get_recent_log_lines(module.LogService.api, {n})
print((status("VmHWM") - before) * 1024)
"""


def rss_growth(column, directory, n=TAIL):
    """Peak growth of the resident set during one call, in a fresh interpreter: every allocator."""
    script = RSS_GROWTH.format(path=PATH, column=column, directory=directory, n=n)
    return int(subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True).stdout)


def memory(directory):
    """{column: (tracemalloc peak, resident peak) bytes} of the 500-record tail."""
    return {"module": (traced_peak(lambda: logs.get_recent_log_lines(logs.LogService.api, TAIL)),
                       rss_growth("module", directory)),
            "python": (traced_peak(lambda: python_logs.get_recent_log_lines(python_logs.LogService.api, TAIL)),
                       rss_growth("python", directory))}


def measure():
    """Every log row: ({column: (best, median)} for n = 500 and n = -1, memory)."""
    with tempfile.TemporaryDirectory() as directory:
        current = make_logs(directory)
        return tail_times(current), everything_times(), memory(directory)


if __name__ == "__main__":
    tail, everything, used = measure()
    for title, times in (("n=500", tail), ("n=-1", everything)):
        for column, (best, median) in times.items():
            print(f"{title:6} {column:8} best {best / 1e6:9.2f} ms   median {median / 1e6:9.2f} ms")
    for column, (traced, resident) in used.items():
        print(f"memory {column:8} tracemalloc {traced / 2**20:6.2f} MB   resident {resident / 2**20:6.2f} MB")
