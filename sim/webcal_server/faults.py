"""Faults injected into the next matching requests, and the log of requests served."""

import threading

EFFECTS = ("status", "delay_seconds", "drop", "cut_after", "corrupt_gzip", "malformed_xml")
LOG_LIMIT = 100000  # the oldest records go first beyond this


class FaultError(ValueError):
    pass


def _check(spec):
    """The fault of an admin request, checked; raises FaultError."""
    if not isinstance(spec, dict):
        raise FaultError("a fault is a JSON object")
    fault = {"method": spec.get("method", "GET"), "path_prefix": spec.get("path_prefix", "/"),
             "count": spec.get("count", 1), "skip": spec.get("skip", 0)}
    if not isinstance(fault["method"], str) or not isinstance(fault["path_prefix"], str):
        raise FaultError("method and path_prefix are texts")
    if type(fault["count"]) is not int or fault["count"] < 1:
        raise FaultError("count is a whole number of 1 or more")
    if type(fault["skip"]) is not int or fault["skip"] < 0:
        raise FaultError("skip is a whole number of 0 or more")
    effects = [name for name in EFFECTS if name in spec]
    if not effects:
        raise FaultError("a fault needs one of " + ", ".join(EFFECTS))
    for name in effects:
        value = spec[name]
        if name == "status" and value not in (500, 503):
            raise FaultError("status is 500 or 503")
        if name == "delay_seconds" and (type(value) not in (int, float) or not 0 <= value <= 600):
            raise FaultError("delay_seconds is a number from 0 to 600")
        if name == "cut_after" and (type(value) is not int or value < 0):
            raise FaultError("cut_after is a whole number of 0 or more")
        if name in ("drop", "corrupt_gzip", "malformed_xml") and value is not True:
            raise FaultError(name + " is true")
        fault[name] = value
    return fault


class Faults:
    def __init__(self):
        self._lock = threading.Condition()
        self._faults, self._log = [], []

    def add(self, spec):
        fault = _check(spec)
        with self._lock:
            self._faults.append(fault)
        return fault

    def clear(self):
        """Forgets the faults; how many were still waiting for their requests."""
        with self._lock:
            pending = len(self._faults)
            self._faults.clear()
            return pending

    def take(self, method, path):
        """The first fault that matches, counted as used; None when none does."""
        with self._lock:
            for fault in self._faults:
                if fault["method"] in ("*", method) and path.startswith(fault["path_prefix"]):
                    if fault["skip"] > 0:  # this request passes; a later one is hit
                        fault["skip"] -= 1
                        return None
                    fault["count"] -= 1
                    if fault["count"] == 0:
                        self._faults.remove(fault)
                    return fault
        return None

    def record(self, method, path, status, sent, complete):
        with self._lock:
            self._log.append({"method": method, "path": path, "status": status,
                              "bytes": sent, "complete": complete})
            del self._log[:-LOG_LIMIT]
            self._lock.notify_all()

    def log(self, at_least=0, timeout=30):
        """The records; first waits (up to `timeout` seconds) until there are `at_least`."""
        with self._lock:
            self._lock.wait_for(lambda: len(self._log) >= at_least, timeout)
            return list(self._log)

    def reset(self):
        with self._lock:
            self._faults.clear()
            self._log.clear()
