import os

import pytest


def pool_threads():
    """How many threads of this process are named like worker pool threads."""
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                name = f.read().strip()
        except FileNotFoundError:  # the thread ended meanwhile
            continue
        count += name == "quillmere-sort-"
    return count


@pytest.fixture
def spill_dir(tmp_path):
    """An empty directory to spill into; the test fails if anything is left in it."""
    path = tmp_path / "spill"
    path.mkdir()
    yield path
    assert os.listdir(path) == [], "the sorter left files behind"
