"""Type-checks the sample application with `mypy --strict` against the installed modules' stubs:
the good file must pass, and the wrong file must be reported on exactly its lines marked `# wrong`.
Run with the interpreter of the environment that has the modules installed.

Usage: type_check.py GOOD_FILE WRONG_FILE"""
import re
import subprocess
import sys
import tokenize


def mypy(path):
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", sys.executable,
               "--show-error-codes", path]
    return subprocess.run(command, capture_output=True, text=True)


def main(good, wrong):
    passed = mypy(good)
    if passed.returncode != 0:
        sys.exit(f"type check: {good} should pass:\n{passed.stdout}{passed.stderr}")
    with open(wrong, "rb") as f:
        expected = {token.start[0] for token in tokenize.tokenize(f.readline)
                    if token.type == tokenize.COMMENT and token.string.startswith("# wrong")}
    failed = mypy(wrong)
    reported = {int(m.group(1)) for m in re.finditer(rf"^{re.escape(wrong)}:(\d+): error:", failed.stdout, re.M)}
    if failed.returncode != 1 or reported != expected:
        sys.exit(f"type check: {wrong} should fail on lines {sorted(expected)}, reported {sorted(reported)}:\n"
                 f"{failed.stdout}{failed.stderr}")
    print(f"type check: {good} passes; {wrong} is caught on lines {sorted(reported)}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
