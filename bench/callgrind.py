"""Instructions per call of the call rows, counted by callgrind: a figure that machine load does not move.

Runs `bench/calls.py --marked N` under callgrind, which dumps its counts at every os.getppid()
call, so that each column of each case has a dump of its warm-up and one of exactly N counted calls
(with the same small driver around each call in every column)."""
import glob
import os
import re
import subprocess
import sys
import tempfile

import calls

_here = os.path.dirname(os.path.abspath(__file__))


def instruction_counts(number=1000):
    """{case name: {column: instructions per call}} for the counted cases."""
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--dump-before=getppid", f"--callgrind-out-file={out}",
                        sys.executable, os.path.join(_here, "calls.py"), "--marked", str(number)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        parts = sorted(glob.glob(out + ".*"), key=lambda path: int(path.rsplit(".", 1)[1]))
        totals = []
        for path in parts[2::2]:  # the start-up before the first marker, then warm-up and count in turn
            with open(path) as dump:
                totals.append(int(re.search(r"^totals: (\d+)", dump.read(), re.M).group(1)))
    counts, segments = {}, iter(totals)
    for case in calls.CASES:
        if case.counted:
            runs = max(1, number // case.calls_per_run)
            counts[case.name] = {column: next(segments) / (runs * case.calls_per_run)
                                 for column, call in case.columns.items() if call}
    return counts


def main():
    print(f"{'instructions per call':48} {'module':>9} {'lean py':>9} {'strict py':>9} {'/lean':>7} {'/strict':>7}")
    for name, count in instruction_counts().items():
        print(calls.row(name, count["module"], count["lean"], count.get("strict"), unit="Ir"))


if __name__ == "__main__":
    main()
