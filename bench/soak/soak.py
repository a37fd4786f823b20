#!/usr/bin/env python3
"""Long fault cases for the console relay, all on loopback.

flood    pushes FLOOD_MB MiB of mail-like lines from a client through
         `dravlin --console` to a sink that checks every byte in order, pausing
         its reads now and then so that the relay has to hold back; the relay's
         RSS is sampled throughout and must stay within RSS_LIMIT_MB of what it
         was before.
clients  runs CLIENTS sequential clients (one line, one reply, close) and
         compares the relay's open descriptors before and after.
half     runs HALF_CLOSE_CLIENTS sequential clients as `nc -N` does: one line,
         then the end of their sending, then they read the whole answer, which
         the server only gives once it has read to the end.

Every wait has a deadline; the whole run stops at --timeout seconds.
Exit status 0 when every check holds, 1 otherwise.
"""

import argparse
import os
import queue
import socket
import subprocess
import sys
import threading
import time

LOOPBACK = "127.0.0.1"
MIB = 1024 * 1024
LISTENING_MARK = "écoute sur le port"


class Failure(Exception):
    pass


def body_block():
    """About 1 MiB of mail transfer traffic, with the awkward cases mixed in:
    lone CR and LF, empty lines, and a line longer than the 64 KiB row bound."""
    parts = []
    n = 0
    while sum(len(p) for p in parts) < MIB - 200 * 1024:
        n += 1
        parts.append(b"RCPT TO:<destinataire%06d@exemple.org>\r\n" % n)
        if n % 7 == 0:
            parts.append(b"X-Note: un CR seul\rici et un LF seul\nla\r\n")
        if n % 11 == 0:
            parts.append(b"\r\n")
        if n % 13 == 0:
            parts.append(bytes(range(256)) + b"\r\n")
    parts.append(b"X-Long: " + b"0123456789abcdef" * (150 * 1024 // 16) + b"\r\n")
    return b"".join(parts)


def header(index):
    # Numbered blocks: a lost, repeated or swapped block cannot go unnoticed.
    return b"MAIL FROM:<bloc%08d@exemple.fr>\r\n" % index


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise Failure("no VmRSS for pid %d" % pid)


def open_fds(pid):
    fd_dir = "/proc/%d/fd" % pid
    links = {}
    for name in os.listdir(fd_dir):
        try:
            links[int(name)] = os.readlink(os.path.join(fd_dir, name))
        except OSError:
            pass  # closed while we looked
    return links


def free_port():
    # The console takes a port number, so let the system pick one and hand it over.
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind((LOOPBACK, 0))
        return probe.getsockname()[1]


def listener():
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((LOOPBACK, 0))
    server.listen(4)
    return server


class RelayProcess:
    """One `dravlin --console` child; its stderr events are read on a thread
    so that we can wait for each new listen without polling."""

    def __init__(self, binary, server_port, workdir):
        self.events = queue.Queue()
        self.listen_port = free_port()
        self.stdout = open(os.path.join(workdir, "soak-rows.txt"), "wb")
        self.stderr_log = open(os.path.join(workdir, "soak-events.txt"), "w", encoding="utf-8")
        self.proc = subprocess.Popen(
            [binary, "--console", "--listen", str(self.listen_port),
             "--server", "%s:%d" % (LOOPBACK, server_port)],
            stdin=subprocess.DEVNULL, stdout=self.stdout, stderr=subprocess.PIPE)
        self.reader = threading.Thread(target=self._read_events, daemon=True)
        self.reader.start()

    def _read_events(self):
        for raw in self.proc.stderr:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.stderr_log.write(line + "\n")
            self.stderr_log.flush()
            self.events.put(line)
        self.events.put(None)

    def wait_listening(self, deadline):
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("relay did not listen again in time")
            try:
                line = self.events.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise Failure("relay exited (status %s)" % self.proc.wait())
            if LISTENING_MARK in line.lower():
                return

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(timeout=5)
        self.stdout.close()
        self.stderr_log.close()


def flood(relay, sink, total_mib, rss_limit_mib, deadline):
    body = body_block()
    blocks = max(1, (total_mib * MIB) // len(body))
    expected_total = sum(len(header(i)) + len(body) for i in range(blocks))
    outcome = {}

    def sink_side():
        sink.settimeout(30)
        conn, _ = sink.accept()
        with conn:
            conn.settimeout(30)
            index, piece, offset, received = 0, memoryview(header(0)), 0, 0
            in_header = True
            pauses = {expected_total // 8, expected_total // 2}
            buf = bytearray(256 * 1024)
            view = memoryview(buf)
            while True:
                n = conn.recv_into(buf)
                if n == 0:
                    break
                got = view[:n]
                while got:
                    if index >= blocks:
                        raise Failure("sink got %d bytes more than sent" % len(got))
                    take = min(len(got), len(piece) - offset)
                    if got[:take] != piece[offset:offset + take]:
                        raise Failure("sink: bytes differ at stream offset %d" % (received + (n - len(got))))
                    got = got[take:]
                    offset += take
                    if offset == len(piece):
                        offset = 0
                        if in_header:
                            piece, in_header = memoryview(body), False
                        else:
                            index += 1
                            piece, in_header = memoryview(header(index)), True
                before = received
                received += n
                # A slow reader now and then: the relay must hold back, not hoard.
                for mark in list(pauses):
                    if before < mark <= received:
                        pauses.discard(mark)
                        time.sleep(1.5)
            outcome["received"] = received

    def client_side():
        with socket.create_connection((LOOPBACK, relay.listen_port), timeout=30) as client:
            for i in range(blocks):
                if time.monotonic() > deadline:
                    raise Failure("flood ran past its deadline")
                client.sendall(header(i))
                client.sendall(body)
            outcome["sent"] = expected_total

    errors = []

    def guard(fn):
        def run():
            try:
                fn()
            except Exception as exc:  # reported by the main thread
                errors.append(exc)
        return run

    rss_before = rss_kib(relay.proc.pid)
    started = time.monotonic()
    threads = [threading.Thread(target=guard(sink_side)), threading.Thread(target=guard(client_side))]
    for t in threads:
        t.start()
    peak = rss_before
    while any(t.is_alive() for t in threads):
        if time.monotonic() > deadline:
            raise Failure("flood did not finish before the deadline")
        if relay.proc.poll() is not None:
            raise Failure("relay exited during the flood (status %d)" % relay.proc.returncode)
        peak = max(peak, rss_kib(relay.proc.pid))
        threads[0].join(timeout=0.2)
    elapsed = time.monotonic() - started
    if errors:
        raise Failure(str(errors[0]))

    received = outcome.get("received", 0)
    print("flood: %d bytes sent, %d received intact in %.1f s (%.0f MiB/s)"
          % (expected_total, received, elapsed, received / MIB / elapsed))
    print("flood: relay RSS %d KiB before, peak %d KiB (+%d KiB, limit +%d KiB)"
          % (rss_before, peak, peak - rss_before, rss_limit_mib * 1024))
    if received != expected_total:
        raise Failure("sink received %d of %d bytes" % (received, expected_total))
    if peak - rss_before > rss_limit_mib * 1024:
        raise Failure("relay RSS grew by %d KiB during the flood" % (peak - rss_before))


def serve_clients(relay, sink, count, deadline, what, answer, client_turn):
    """Runs count clients one after another through the relay. answer(conn)
    plays the server for one relayed connection; client_turn(i, sock) plays
    client i and raises Failure when its answer is not whole."""
    stop = threading.Event()
    errors = []

    def sink_side():
        sink.settimeout(0.5)
        while not stop.is_set():
            try:
                conn, _ = sink.accept()
            except socket.timeout:
                continue
            with conn:
                conn.settimeout(10)
                answer(conn)

    def guarded():
        try:
            sink_side()
        except Exception as exc:
            errors.append(exc)

    server = threading.Thread(target=guarded, daemon=True)
    server.start()
    started = time.monotonic()
    try:
        for i in range(count):
            if errors:
                raise Failure("sink: %s" % errors[0])
            if time.monotonic() > deadline:
                raise Failure("%s ran past the deadline after %d of %d" % (what, i, count))
            with socket.create_connection((LOOPBACK, relay.listen_port), timeout=10) as client:
                client_turn(i, client)
            # The relay re-arms after the close; the next client waits for its listen.
            relay.wait_listening(min(deadline, time.monotonic() + 10))
    finally:
        stop.set()
        server.join(timeout=5)
    return time.monotonic() - started


def read_all(sock, size=65536):
    data = b""
    while True:
        part = sock.recv(size)
        if not part:
            return data
        data += part


def sequential_clients(relay, sink, count, deadline):
    def answer(conn):
        # Answer the client's line, then wait for the close.
        line = b""
        while not line.endswith(b"\r\n"):
            part = conn.recv(256)
            if not part:
                break
            line += part
        if line.startswith(b"NOOP "):
            conn.sendall(b"250 OK " + line[5:])
        read_all(conn, 256)

    def client_turn(i, client):
        client.sendall(b"NOOP %d\r\n" % i)
        want = b"250 OK %d\r\n" % i
        reply = b""
        while len(reply) < len(want):
            part = client.recv(256)
            if not part:
                break
            reply += part
        if reply != want:
            raise Failure("client %d: reply %r, expected %r" % (i, reply, want))

    elapsed = serve_clients(relay, sink, count, deadline, "clients", answer, client_turn)
    print("clients: %d served in %.1f s" % (count, elapsed))


def half_closing_clients(relay, sink, count, deadline):
    # Past one read and one kernel buffer's worth, so that the answer crosses
    # the relay in several chunks after the client has ended its sending.
    filler = b"x" * 200000

    def answer_for(request):
        return b"250 OK " + request[5:].rstrip(b"\r\n") + b"\r\n" + filler + b"\r\n"

    def answer(conn):
        conn.sendall(answer_for(read_all(conn, 4096)))

    def client_turn(i, client):
        request = b"NOOP %d\r\n" % i
        client.sendall(request)
        client.shutdown(socket.SHUT_WR)
        reply = read_all(client)
        if reply != answer_for(request):
            raise Failure("half-closing client %d: %d bytes back, expected %d"
                          % (i, len(reply), len(answer_for(request))))

    elapsed = serve_clients(relay, sink, count, deadline, "half-closing clients", answer, client_turn)
    print("half-closing clients: %d served, each with its whole answer, in %.1f s" % (count, elapsed))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dravlin", required=True, help="path to the dravlin binary")
    parser.add_argument("--flood-mb", type=int, default=1024)
    parser.add_argument("--rss-limit-mb", type=int, default=64)
    parser.add_argument("--clients", type=int, default=1000)
    parser.add_argument("--half-close-clients", type=int, default=1000)
    parser.add_argument("--timeout", type=int, default=900, help="seconds for the whole run")
    parser.add_argument("--workdir", default=".", help="where rows and events are written")
    args = parser.parse_args()

    deadline = time.monotonic() + args.timeout
    sink = listener()
    relay = RelayProcess(args.dravlin, sink.getsockname()[1], args.workdir)
    try:
        relay.wait_listening(min(deadline, time.monotonic() + 10))
        fds_start = open_fds(relay.proc.pid)
        print("relay pid %d on port %d, %d descriptors open"
              % (relay.proc.pid, relay.listen_port, len(fds_start)))

        if args.flood_mb > 0:
            flood(relay, sink, args.flood_mb, args.rss_limit_mb, deadline)
            relay.wait_listening(min(deadline, time.monotonic() + 10))

        if args.clients > 0:
            fds_before = open_fds(relay.proc.pid)
            sequential_clients(relay, sink, args.clients, deadline)
            fds_after = open_fds(relay.proc.pid)
            print("clients: descriptors before %d, after %d" % (len(fds_before), len(fds_after)))
            if len(fds_after) != len(fds_before):
                gained = sorted(set(fds_after.items()) - set(fds_before.items()))
                lost = sorted(set(fds_before.items()) - set(fds_after.items()))
                raise Failure("descriptor count changed; new %s, gone %s" % (gained, lost))
        if args.half_close_clients > 0:
            half_closing_clients(relay, sink, args.half_close_clients, deadline)
        if len(open_fds(relay.proc.pid)) != len(fds_start):
            raise Failure("descriptor count differs from start-up")
    except Failure as failure:
        print("soak: ÉCHEC: %s" % failure, file=sys.stderr)
        return 1
    finally:
        relay.stop()
        sink.close()
    print("soak: OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
