"""The README's example runs as written."""

import os
import re
import subprocess
import sys

from conftest import PYTHON_DIR, REPO


def test_the_readme_example_runs(tmp_path):
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    section = readme.split("\n## Python\n", 1)[1].split("\n## ", 1)[0]
    example = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert len(example.strip().splitlines()) <= 10
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), KT40_SIM_STATE="private")
    done = subprocess.run([sys.executable, "-c", example], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["CnafResult(data=4660, q=True, x=True)", str(list(range(100, 116))),
                                        "LAM from stations [3]"]
