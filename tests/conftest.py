import contextlib
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

CLOSED = "I/O operation on a closed sorter"
READ_TWICE = "a sorter can be read only once"
ADD_AFTER_READ = "cannot add to a sorter once it has been read"
STOPPED = "the sorter stopped when reading it failed or was interrupted"
LOST = "an earlier error lost records, so sorting cannot go on"


def thread_names():
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                names.append(f.read().strip())
        except (FileNotFoundError, ProcessLookupError):  # the thread ended meanwhile
            pass
    return names


def pool_threads():
    return sum(name.startswith("quillmere-sort-") for name in thread_names())


def merge_threads():
    return thread_names().count("quillmere-merge")


def settled(count, expected, timeout=5.0):
    """count() once it is `expected`, else whatever it is after `timeout`.
    The kernel lists a thread in /proc for a moment after its join returned,
    so a check that joined threads are gone must allow that moment."""
    deadline = time.monotonic() + timeout
    while (value := count()) != expected and time.monotonic() < deadline:
        time.sleep(0.005)
    return value


def run_files(spill_dir):
    """Paths of the run files in the sorter's private directory, in order."""
    (private,) = os.listdir(spill_dir)
    return [str(spill_dir / private / name) for name in sorted(os.listdir(spill_dir / private))]


class Interrupted(Exception):
    pass


def raise_interrupted(*_):
    raise Interrupted


@contextlib.contextmanager
def signal_in(seconds, handler=raise_interrupted):
    """Runs `handler` for a SIGUSR1 sent to this process after `seconds`."""
    old = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGUSR1))
    timer.start()
    try:
        yield
    finally:
        timer.join()
        signal.signal(signal.SIGUSR1, old)


@pytest.fixture
def spill_dir(tmp_path):
    """An empty directory to spill into; the test fails if anything is left in it."""
    path = tmp_path / "spill"
    path.mkdir()
    yield path
    assert os.listdir(path) == [], "the sorter left files behind"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="session")
def s3_server():
    """An S3-compatible server on this machine, its settings in the environment that
    workers started later inherit."""
    pytest.importorskip("moto")
    s3fs = pytest.importorskip("s3fs")
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "moto.server", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = {"AWS_ACCESS_KEY_ID": "test", "AWS_SECRET_ACCESS_KEY": "test",
           "AWS_DEFAULT_REGION": "us-east-1",
           "FSSPEC_S3_ENDPOINT_URL": f"http://127.0.0.1:{port}"}
    saved = {name: os.environ.get(name) for name in env}
    os.environ.update(env)
    try:
        deadline = time.monotonic() + 30
        while True:
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 1):
                break
            if time.monotonic() > deadline or server.poll() is not None:
                raise RuntimeError("the S3 test server did not start")
            time.sleep(0.1)
        fs = s3fs.S3FileSystem(endpoint_url=env["FSSPEC_S3_ENDPOINT_URL"])
        try:
            fs.mkdir("scratch")
        except Exception as error:
            # The server runs on this interpreter, whose packages may lack
            # what it needs (compiled ones, on another Python version).
            pytest.skip(f"the S3 test server fails on this Python: {error}")
        yield fs
    finally:
        server.terminate()
        server.wait()
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@pytest.fixture(params=["local", "s3"])
def scratch(request, tmp_path):
    """(URL, a function listing what is left there)."""
    if request.param == "local":
        # Brackets, which fsspec would take for a pattern.
        folder = tmp_path / "scratch[1]"
        folder.mkdir()
        return str(folder), lambda: os.listdir(folder)
    fs = request.getfixturevalue("s3_server")
    folder = f"scratch/{request.node.name}"

    def left():
        fs.invalidate_cache()
        return fs.find(folder)

    return f"s3://{folder}", left


@pytest.fixture(scope="module")
def client(request):
    """A Dask client of a local cluster of 2 worker processes."""
    distributed = pytest.importorskip("distributed")
    # Started after the S3 server's settings, which the workers inherit;
    # without the server the cases on a local folder still run.
    with contextlib.suppress(pytest.skip.Exception):
        request.getfixturevalue("s3_server")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=2, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as c:
        yield c


def left_after_failure(folder):
    """What is left in `folder` once a failed sort's tasks have ended."""
    # Tasks already running may finish after the failure is reported, and the
    # failing one removes its sort's folder in the background.
    deadline = time.monotonic() + 10
    while os.listdir(folder) and time.monotonic() < deadline:
        time.sleep(0.1)
    return os.listdir(folder)
