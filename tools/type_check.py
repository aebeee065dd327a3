"""Type-checks the sample application with `mypy --strict` against the installed modules' stubs:
the good file must import every public function of every installed module and pass, and the wrong
file must be reported on exactly its lines marked `# wrong`. Run with the interpreter of the
environment that has the modules installed.

Usage: type_check.py GOOD_FILE WRONG_FILE"""
import ast
import importlib
import importlib.machinery
import pkgutil
import re
import subprocess
import sys
import tokenize

PACKAGE = "vornal_api.python_api"


def public_functions():
    """(module, function) for every public function of the extension modules installed under PACKAGE."""
    found = set()
    package = importlib.import_module(PACKAGE)
    for info in pkgutil.walk_packages(package.__path__, PACKAGE + "."):
        spec = info.module_finder.find_spec(info.name, None)
        if not (spec and isinstance(spec.loader, importlib.machinery.ExtensionFileLoader)):
            continue
        module = importlib.import_module(info.name)
        found |= {(info.name, name) for name, value in vars(module).items()
                  if not name.startswith("_") and callable(value) and hasattr(value, "__code__")
                  and getattr(value, "__module__", None) == info.name}
    return found


def imported_functions(path):
    with open(path, "rb") as f:
        tree = ast.parse(f.read(), path)
    return {(node.module, alias.name) for node in ast.walk(tree)
            if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith(PACKAGE + ".")
            for alias in node.names}


def mypy(path):
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", sys.executable,
               "--show-error-codes", path]
    return subprocess.run(command, capture_output=True, text=True)


def main(good, wrong):
    unused = sorted(f"{module}.{name}" for module, name in public_functions() - imported_functions(good))
    if unused:
        sys.exit(f"type check: {good} does not import {', '.join(unused)}")
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
