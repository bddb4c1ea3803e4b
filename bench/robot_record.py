"""The simulated robot's recording (robotsim --record), followed while it grows."""
import json
import os
import time


class SetPointFollower:
    """Each omnidrive set-point appended since it was made, with the time it was read."""

    def __init__(self, record):
        self.record = record
        self.offset = os.path.getsize(record)
        self.points = []  # (time.monotonic() when read, [vx, vy, omega])

    @property
    def times(self):
        return [t for t, _ in self.points]

    def poll(self):
        with open(self.record, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        end = data.rfind(b"\n")
        if end < 0:
            return
        self.offset += end + 1
        now = time.monotonic()
        for line in data[:end].split(b"\n"):
            try:
                message = json.loads(line)
            except ValueError:
                continue
            if message.get("op") == "set" and message.get("topic") == "omnidrive":
                self.points.append((now, message["args"]))
