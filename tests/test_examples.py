"""The example scripts run as a user copies them, and make what they say."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run(script, tmp_path):
    out = subprocess.run([sys.executable, str(EXAMPLES / script)], capture_output=True, text=True,
                         cwd=tmp_path, timeout=300)
    assert out.returncode == 0, out.stderr
    return out.stdout


@pytest.mark.parametrize("script, files", [
    ("detect_image.py", ["detected.png"]),
    ("tune_window.py", ["window.png"]),
    ("process_folder.py", ["balls.csv", "scenes/scene-019.png"]),
    ("building_blocks.py", []),
    ("scene_video.py", ["scenes.mp4"]),
])
def test_example_runs_and_writes_its_files(script, files, tmp_path):
    stdout = run(script, tmp_path)
    assert "ball" in stdout.lower()
    for name in files:
        assert (tmp_path / name).stat().st_size > 0


def test_the_crema_ellipse_is_found_where_it_was_drawn(tmp_path):
    stdout = run("crema_ellipse.py", tmp_path)
    numbers = {kind: [float(v) for v in re.findall(r"-?\d+\.\d", line)]
               for kind, line in (ln.split(":", 1) for ln in stdout.splitlines()
                                  if ln.startswith(("found", "drawn")))}
    found, drawn = numbers["found"], numbers["drawn"]          # x, y, a, b, theta
    assert all(abs(f - d) < 2.5 for f, d in zip(found, drawn))
    assert (tmp_path / "cup-found.png").is_file()
