"""Signals for the quillmere command: the ones that end it, and what it does
when one arrives during a run of main().

The first ending signal raises Signalled, so that the cleanup in main() runs
before the command dies of that signal. Installing the handlers also makes a
Wakeup, which the command hands to whatever waits for input, so that a
signal ends such a wait at once.
"""

# Annotations are left unevaluated on 3.13 as on 3.14: some name types
# that are imported only for the type checker.
from __future__ import annotations

import os
import signal

# Names only the type checker needs; importing typing would slow the start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from signal import _HANDLER
    from types import FrameType

# The signals whose default action ends the process and that a terminal, a
# shell's job control, a timer or a resource limit sends.
ENDING_SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGPIPE,
                  signal.SIGALRM, signal.SIGXCPU, signal.SIGXFSZ, signal.SIGVTALRM, signal.SIGPROF)
# Python ignores these itself at start, so their being ignored says nothing
# of what the caller wanted.
PYTHON_IGNORES = (signal.SIGPIPE, signal.SIGXFSZ)


class Signalled(BaseException):
    """An ending signal, raised once from its handler so that cleanup runs.
    A BaseException, so that no handler of ordinary errors takes it."""


class Wakeup:
    """A pipe that the interpreter writes a byte into whenever a signal
    arrives (set_wakeup_fd). A signal that lands just before a read of a
    pipe or terminal would otherwise wait, unhandled, until input came;
    waiting for this too ends that wait at once, and the handler runs on
    return. Owns both ends until close()."""

    def __init__(self) -> None:
        self.reader, self.writer = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self.closed = False  # once closed, a wait no longer waits for it

    def fileno(self) -> int:
        """The end to wait on: readable once a signal has come."""
        return self.reader

    def drain(self) -> None:
        """Empties the pipe, so that the next wait waits again."""
        try:
            os.read(self.reader, 512)
        except BlockingIOError:
            pass

    def close(self) -> None:
        self.closed = True
        os.close(self.reader)
        os.close(self.writer)


class Signals:
    """Handlers for the ending signals during one run of main(). The first
    signal raises Signalled and is remembered; later ones only arrive, since
    the cleanup of the first is then under way."""

    def __init__(self) -> None:
        self.signum = 0
        self.previous: dict[int, _HANDLER] = {}
        self.mask: set[int] | None = None
        self.wakeup: Wakeup | None = None  # while the handlers are installed
        self.previous_wakeup = -1

    def install(self) -> Wakeup:
        """Installs the handlers; returns the wake-up for waits on input."""
        self.wakeup = Wakeup()
        self.previous_wakeup = signal.set_wakeup_fd(self.wakeup.writer, warn_on_full_buffer=False)
        for signum in ENDING_SIGNALS:
            previous = signal.getsignal(signum)
            if previous == signal.SIG_IGN and signum not in PYTHON_IGNORES:
                continue  # under nohup, or a background job: it stays ignored
            self.previous[signum] = previous
            signal.signal(signum, self.handle)
        return self.wakeup

    def handle(self, signum: int, frame: FrameType | None) -> None:
        if not self.signum:
            self.signum = signum
            raise Signalled

    def hold(self) -> None:
        """Blocks the signals, so that none cuts the cleanup short."""
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, self.previous)
        if self.mask is None:
            self.mask = mask

    def restore(self) -> None:
        """Unblocks the signals, which raises one that came while they were
        held (if it is the first), then puts back the previous handlers and
        wake-up descriptor."""
        if self.mask is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, self.mask)
        for signum, previous in self.previous.items():
            signal.signal(signum, previous if previous is not None else signal.SIG_DFL)
        self.previous.clear()
        if self.wakeup is not None:
            signal.set_wakeup_fd(self.previous_wakeup)
            self.wakeup.close()
            self.wakeup = None
