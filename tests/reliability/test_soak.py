"""A short soak in the release build: the main job's workload in a loop, memory and open
descriptors flat after the warm-up (`tools/sid tools/soak 600` runs the long one)."""
import os
import subprocess
import sys

import pytest

from fuzzing import SLOW_BUILD

SECONDS = 15


@pytest.mark.skipif(SLOW_BUILD, reason="the sanitizers and the debug interpreter have memory of their own to grow")
def test_short_soak_keeps_memory_and_descriptors_flat():
    script = os.path.join(os.path.dirname(__file__), "soak.py")
    run = subprocess.run([sys.executable, script, str(SECONDS)], capture_output=True, text=True, timeout=SECONDS * 6)
    assert run.returncode == 0, run.stdout + run.stderr
