"""What bench/run needs of processes and sockets, whatever the case: ports, waits,
CPU used, the tools it starts."""

import os
import shutil
import socket
import subprocess
import sys
import time


class BenchError(Exception):
    pass


def log(text):
    print(text, file=sys.stderr, flush=True)


def install_tools(root):
    subprocess.run(["sh", os.path.join(root, "scripts", "install-deps.sh")], check=True)
    missing = [package for tool, package in (("socat", "socat"), ("Xvfb", "xvfb"), ("xauth", "xauth"))
               if shutil.which(tool) is None]
    if missing:
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        subprocess.run(sudo + ["apt-get", "update", "-qq"], check=True)
        subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing,
                       check=True, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def start_display(display_env):
    """An X server of our own for the window case: the real window, drawn as
    on a desktop (the offscreen platform would hide what drawing costs). Fills
    display_env with what a client needs to draw on it."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1600x1200x24",
                               "-nolisten", "tcp"], pass_fds=(write_end,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        number = f.readline().strip()
    if not number:
        stop(server)
        raise BenchError("Xvfb did not start")
    display_env.update(DISPLAY=":" + number, QT_QPA_PLATFORM="xcb")
    return server


def keyed(text):
    """'key value' pairs, several per line allowed."""
    values = {}
    for line in text.splitlines():
        words = line.split()
        for i in range(0, len(words) - 1, 2):
            values[words[i]] = words[i + 1]
    return values


def read_port(process):
    line = process.stdout.readline()
    if not line.startswith("port "):
        raise BenchError("no port from %s: %r" % (process.args[0], line))
    return int(line.split()[1])


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def is_listening(port):
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except FileNotFoundError:
            pass
    return False


def wait_listening(port, process):
    deadline = time.monotonic() + 10
    while not is_listening(port):
        if process.poll() is not None:
            raise BenchError("%s ended before listening" % process.args[0])
        if time.monotonic() > deadline:
            raise BenchError("%s does not listen on %d" % (process.args[0], port))
        time.sleep(0.01)


def cpu_seconds(pid):
    """User + system CPU a running (or not yet reaped) process has used, all its threads."""
    with open("/proc/%d/stat" % pid) as f:
        # The command name may hold spaces: the fields that follow its ")" are counted from there.
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def reap(process, timeout):
    """Waits for a process to end and returns the CPU (user + system) it used over its
    life, which /proc no longer tells once it is reaped."""
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            process.returncode = os.waitstatus_to_exitcode(status)
            return usage.ru_utime + usage.ru_stime
        if time.monotonic() > deadline:
            raise subprocess.TimeoutExpired(process.args, timeout)
        time.sleep(0.01)


def stop(process):
    if process.poll() is None:
        process.kill()
        process.wait()


def memory_kib(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def count_lines(path):
    # Rows only: session and TLS marks ("-- " lines, after a session's "#K ")
    # are not captured rows.
    with open(path, "rb", buffering=1 << 22) as f:
        return sum(1 for line in f if not line.split(b" ", 1)[-1].startswith(b"-- ")
                   and not line.startswith(b"-- "))
