"""Process, port and /proc helpers shared by the benchmark and the soak, and their arithmetic."""
import ctypes
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import threading
import time

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
MESSAGE_SIZE = 1316

_handed_out_ports = set()


def free_port(kind=socket.SOCK_DGRAM):
    """A port that is free now for the given socket kind (UDP for SRT, TCP for HTTP)."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, kind) as probe:
            probe.bind(("0.0.0.0", 0))
            port = probe.getsockname()[1]
        if port not in _handed_out_ports:
            _handed_out_ports.add(port)
            return port
    raise RuntimeError("no free port found")


def free_port_block(count, low=20000):
    """The first of count consecutive UDP ports, from low up, that no socket holds now and that
    were not handed out before; below the kernel's range of ephemeral ports, so that
    nothing is given one of them by chance while they wait."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as span:
        ephemeral = int(span.read().split()[0])
    busy = bound_udp_ports() | _handed_out_ports
    first = low
    while first + count <= ephemeral:
        clash = [port for port in range(first, first + count) if port in busy]
        if not clash:
            _handed_out_ports.update(range(first, first + count))
            return first
        first = clash[-1] + 1
    raise RuntimeError(f"no {count} consecutive free UDP ports below {ephemeral}")


def parse_proc_stat(text):
    """CPU seconds (utime + stime) from the text of /proc/PID/stat."""
    # The command name may hold blanks and parentheses: fields start after the last ')'.
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return parse_proc_stat(stat.read())


def parse_proc_status(text):
    """The kB fields of /proc/PID/status as a dict (VmHWM, VmRSS, ...)."""
    values = {}
    for line in text.splitlines():
        name, _, rest = line.partition(":")
        parts = rest.split()
        if len(parts) == 2 and parts[1] == "kB":
            values[name] = int(parts[0])
    return values


def memory_kb(pid):
    with open(f"/proc/{pid}/status") as status:
        return parse_proc_status(status.read())


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def bound_udp_ports():
    """The UDP ports some socket is bound to (IPv4 and IPv6 tables), as a set."""
    ports = set()
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(table) as lines:
                next(lines)
                for line in lines:
                    ports.add(int(line.split()[1].rsplit(":", 1)[1], 16))
        except OSError:
            continue
    return ports


def udp_port_bound(port):
    return port in bound_udp_ports()


def wait_until(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


PR_SET_PDEATHSIG = 1


def _end_with_parent():
    """Runs in the child before exec: SIGTERM when the harness dies, so nothing outlives it."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class Process:
    """A started child with its output in files; stopped by its own PID only."""

    def __init__(self, name, argv, workdir, env=None):
        self.name = name
        self.stdout_path = os.path.join(workdir, f"{name}.out")
        self.stderr_path = os.path.join(workdir, f"{name}.err")
        full_env = dict(os.environ)
        full_env.update(env or {})
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.popen = subprocess.Popen(argv, stdout=out, stderr=err, env=full_env,
                                          stdin=subprocess.DEVNULL,
                                          preexec_fn=_end_with_parent)
        self.pid = self.popen.pid

    def alive(self):
        return self.popen.poll() is None

    def wait(self, timeout):
        try:
            return self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, timeout=5.0, sig=signal.SIGTERM):
        """Asks the child to end, then kills it if it has not within timeout. Returns its status."""
        if self.alive():
            os.kill(self.pid, sig)
            if self.wait(timeout) is None:
                os.kill(self.pid, signal.SIGKILL)
                self.popen.wait()
        return self.popen.returncode

    def stdout_json(self):
        with open(self.stdout_path) as out:
            text = out.read().strip()
        return json.loads(text.splitlines()[-1]) if text else None

    def stderr_text(self):
        with open(self.stderr_path, errors="replace") as err:
            return err.read()


class Sampler:
    """Calls read() (a tuple of numbers) now and every step seconds in a thread of its own until
    stop(), keeping each reading with its time.monotonic()."""

    def __init__(self, read, step=0.2):
        self._read, self._step = read, step
        self._stopping = threading.Event()
        self.samples = [(time.monotonic(), read())]
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stopping.wait(self._step):
            self.samples.append((time.monotonic(), self._read()))

    def stop(self):
        """Takes a last reading; returns the samples [(time, reading), ...] in time order."""
        self._stopping.set()
        self._thread.join()
        self.samples.append((time.monotonic(), self._read()))
        return self.samples


def value_at(samples, when):
    """The reading at time when, interpolated field by field between the samples around it
    (the first or last reading outside their span)."""
    if when <= samples[0][0]:
        return samples[0][1]
    for (t0, r0), (t1, r1) in zip(samples, samples[1:]):
        if when <= t1:
            if t1 == t0:
                return r1
            part = (when - t0) / (t1 - t0)
            return tuple(a + (b - a) * part for a, b in zip(r0, r1))
    return samples[-1][1]


def route_entry(route_id, source_port, targets, enabled=True):
    """One route of the relay's configuration file: a listening source and listening targets.

    targets is a list of (target id, port, enabled)."""
    return {
        "source_id": route_id, "enabled": 1 if enabled else 0, "mode": "listen",
        "url": f"srt://:{source_port}",
        "targets": {str(tid): {"enabled": 1 if on else 0, "mode": "listen",
                               "url": f"srt://:{port}"} for tid, port, on in targets},
    }


def routes_document(entries):
    """The configuration file text of routes given as {route id: route_entry(...)}."""
    return json.dumps({str(rid): entry for rid, entry in entries.items()}, separators=(",", ":"))


def route_document(route_id, source_port, targets):
    """The configuration file text of one route (see route_entry)."""
    return routes_document({route_id: route_entry(route_id, source_port, targets)})


def http_request(port, path, method="GET", headers=None, timeout=10.0):
    """One request to 127.0.0.1:port. Returns (status, body bytes, seconds); status 0 when no
    answer came (refused, reset or timed out)."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    start = time.monotonic()
    try:
        connection.request(method, path, headers=headers or {})
        reply = connection.getresponse()
        status, body = reply.status, reply.read()
    except (OSError, http.client.HTTPException):
        status, body = 0, b""
    finally:
        connection.close()
    return status, body, time.monotonic() - start


def start_relay(binary, workdir, config_text, http_port, api_key, name="relay", env=None,
                wrapper=()):
    """The relay with its configuration file, logs in workdir; wrapper is a command that runs
    it (a profiler), or nothing."""
    config_path = os.path.join(workdir, "config.json")
    with open(config_path, "w") as config:
        config.write(config_text)
    env = {"MIREVO_LOG_DIR": workdir, "MIREVO_CONFIG": config_path,
           "MIREVO_HTTP_PORT": str(http_port), "MIREVO_API_KEY": api_key, **(env or {})}
    return Process(name, [*wrapper, binary], workdir, env)


def keep_workdir_on_error(result, workdir):
    """A failed measure keeps its files and names them in its result; a good one removes them."""
    if "error" in result:
        result["workdir"] = workdir
    else:
        shutil.rmtree(workdir, ignore_errors=True)


def save_result(out_dir, name, result, text):
    """A measure's figures as out_dir/name.json and its table as out_dir/name.md."""
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, f"{name}.json"), "w") as out:
        json.dump(result, out, indent=1)
        out.write("\n")
    with open(os.path.join(out_dir, f"{name}.md"), "w") as out:
        out.write(text.rstrip("\n") + "\n")


def sanitizer_findings(stderr_text):
    """Lines of a relay's standard error that a sanitizer wrote."""
    return [line for line in stderr_text.splitlines()
            if "Sanitizer" in line or "runtime error" in line]


def share(part, whole):
    """part / whole, or None when whole is 0 or missing."""
    return part / whole if whole else None


def growth_per_subscriber_kb(peak_kb, base_kb, count):
    """What each subscriber added to the relay's resident memory: (peak - base) / N, in kB."""
    return max(peak_kb - base_kb, 0) / count if count > 0 else None


def cost_per_gb(cpu_s, delivered_bytes):
    """CPU seconds per 10^9 delivered bytes; None when nothing was delivered."""
    if delivered_bytes <= 0:
        return None
    return cpu_s / (delivered_bytes / 1e9)


def seq_at(timeline, t_ms):
    """The generator's sequence position at time t_ms, from its (time, next seq) samples.

    Interpolated between samples; flat across a reconnect pause, where nothing was sent."""
    if not timeline or t_ms <= timeline[0][0]:
        return timeline[0][1] if timeline else 0
    for (t0, s0), (t1, s1) in zip(timeline, timeline[1:]):
        if t_ms <= t1:
            if t1 == t0:
                return s1
            return s0 + (s1 - s0) * (t_ms - t0) / (t1 - t0)
    return timeline[-1][1]


def count_in_ranges(ranges, first, end):
    """How many numbers of [first, end) lie in the closed ranges [[a, b], ...]."""
    total = 0
    for a, b in ranges:
        low, high = max(a, first), min(b + 1, end)
        if high > low:
            total += high - low
    return total


def connected_stretches(gen, connection, join_settle_ms, end_margin_ms):
    """Per generator connection, what a subscriber connection should have received.

    A stretch is the part of one generator connection's sequence numbers sent while the
    subscriber was connected: from join_settle_ms after it joined (the relay needs a moment to
    list a new caller) to end_margin_ms before it left (the last messages were still in flight).
    Returns dicts with first, end (exclusive), expected, received."""
    timeline = gen["timeline"]
    low = int(-(-seq_at(timeline, connection["connect_ms"] + join_settle_ms) // 1))
    high = int(seq_at(timeline, connection["end_ms"] - end_margin_ms))
    stretches = []
    for gen_conn in gen["connections"]:
        first = max(low, gen_conn["first_seq"])
        end = min(high, gen_conn["next_seq"])
        if end <= first:
            continue
        received = count_in_ranges(connection.get("ranges", []), first, end)
        stretches.append({"first": first, "end": end, "expected": end - first,
                          "received": received})
    return stretches
