"""Signals that end a run of the command: each becomes an exception that unwinds the run, so
that the code on its way out removes the temporary output and closes the sorter (which removes
its spill directory), and the command exits with 128 plus the signal's number.

The exception is raised once; a signal that comes later, or while the run is already cleaning
up, is only remembered: a second Ctrl-C must not cut the cleanup short.
"""

import signal
import threading

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGPIPE)


class Stopped(BaseException):
    """A signal asked the run to end. A BaseException, so that no handler of input errors
    (which catch Exception) can swallow it."""

    def __init__(self, signum):
        super().__init__(f"stopped by signal {signum}")
        self.signum = signum


class StopSignals:
    """Installed for one run: turns the stop signals into Stopped, once."""

    def __init__(self):
        self.caught = None  # the first signal received
        self._raised = False
        self._holding = 0
        self._quiet = False
        self._previous = {}
        if threading.current_thread() is not threading.main_thread():
            return  # only the main thread may set handlers; Ctrl-C still arrives as usual
        for signum in STOP_SIGNALS:
            previous = signal.getsignal(signum)
            # A signal that the caller chose to ignore (nohup) stays ignored. The interpreter
            # itself ignores SIGPIPE, so that one is taken over regardless.
            if previous is signal.SIG_IGN and signum != signal.SIGPIPE:
                continue
            self._previous[signum] = previous
            signal.signal(signum, self._handle)

    def _handle(self, signum, frame):
        if self.caught is None:
            self.caught = signum
        if self._raised or self._holding or self._quiet:
            return
        self._raised = True
        raise Stopped(signum)

    def held(self):
        """A block in which a signal waits until the block ends: for steps that must happen
        together, such as making the temporary output and noting it for the cleanup."""
        return _Held(self)

    def quiet(self):
        """From now on a signal is only remembered: the run is cleaning up."""
        self._quiet = True

    def restore(self):
        for signum, previous in self._previous.items():
            signal.signal(signum, previous)
        self._previous.clear()


class _Held:
    def __init__(self, signals):
        self.signals = signals

    def __enter__(self):
        self.signals._holding += 1

    def __exit__(self, *exc):
        s = self.signals
        s._holding -= 1
        if not s._holding and s.caught is not None and not (s._raised or s._quiet):
            s._raised = True
            raise Stopped(s.caught)
