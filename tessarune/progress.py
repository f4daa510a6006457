"""Progress on standard error: bytes read out of the total, then items written out of the
total. Drawn by tqdm when it is installed, else by a plain line rewritten in place."""

import os
import sys
import time


def _tqdm_class():
    """tqdm's bar, imported only when a bar is drawn: the import alone costs every run of the
    command some 70 ms."""
    try:
        from tqdm import tqdm
    except ImportError:  # progress is an extra: a plain line does without it
        return None
    return tqdm


class _PlainBar:
    """One line, redrawn at most a few times a second."""

    def __init__(self, desc, total, unit, stream):
        self.desc, self.total, self.unit, self.stream = desc, total, unit, stream
        self.n = 0
        self.start = self.last = time.monotonic()

    def _amount(self, n):
        if self.unit == "B":
            return f"{n / 1048576:.1f} MiB"
        return f"{n:,}"

    def _draw(self, now):
        text = f"{self.desc}: {self._amount(self.n)}"
        if self.total:
            text += f" of {self._amount(self.total)} ({100 * self.n / self.total:.0f}%)"
            rate = self.n / max(now - self.start, 1e-9)
            if 0 < self.n < self.total and rate > 0:
                text += f", {(self.total - self.n) / rate:.0f} s left"
        self.stream.write("\r" + text + "\x1b[K")
        self.stream.flush()

    def update(self, n):
        self.n += n
        now = time.monotonic()
        if now - self.last >= 0.25:
            self.last = now
            self._draw(now)

    def close(self):
        self._draw(time.monotonic())
        self.stream.write("\n")
        self.stream.flush()


class _NoBar:
    def update(self, n):
        pass

    def close(self):
        pass


class Progress:
    def __init__(self, enabled, stream=None):
        self.enabled = enabled
        self.stream = stream if stream is not None else sys.stderr

    def _size(self):
        # A terminal that reports no size (a fresh pseudo-terminal) still gets a bar: tqdm
        # would hide it below a height of 0.
        try:
            size = os.get_terminal_size(self.stream.fileno())
            columns, rows = size.columns, size.lines
        except (OSError, ValueError, AttributeError):
            columns = rows = 0
        return columns if columns > 0 else 80, rows if rows > 0 else 24

    def bar(self, desc, total, unit):
        if not self.enabled:
            return _NoBar()
        tqdm = _tqdm_class()
        if tqdm is not None:
            columns, rows = self._size()
            scale = unit == "B"
            return tqdm(desc=desc, total=total or None, unit=unit, unit_scale=scale,
                         unit_divisor=1024 if scale else 1000, file=self.stream, leave=True,
                         mininterval=0.25, ncols=columns, nrows=rows)
        return _PlainBar(desc, total, unit, self.stream)
