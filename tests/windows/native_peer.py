#!/usr/bin/env python3
"""A native Linux peer for the Windows tests: raw loopback sockets driven over a control connection.

It prints "PORT <n>" once its control listener is up; the Windows test program
connects there and sends one command per line, and gets one answer line
("OK ..." or "ERR ..."). Bytes travel as hex ("-" for none). It only ever
binds and connects to 127.0.0.1, and ends by itself after --lifetime seconds.

Commands:
  CONNECT <port>                     -> OK <id>
  LISTEN                             -> OK <id> <port>
  ACCEPT <listener> <timeout_ms> <hex>  accept in the background, then write hex -> OK
  ACCEPTED <listener> <timeout_ms>   -> OK <id> of the connection ACCEPT took
  WRITE <id> <hex>                   -> OK
  READ <id> <n> <timeout_ms>         -> OK <hex> (what came before the timeout)
  QUIET <id> <quiet_ms>              -> OK <hex> (everything until quiet_ms pass with nothing)
  CLOSED <id> <timeout_ms>           -> OK 1 when the peer closed, OK 0 otherwise
  CLOSE <id>                         -> OK
  UDP                                -> OK <id> <port>
  SENDTO <id> <port> <hex>           -> OK
  RECVFROM <id> <timeout_ms>         -> OK <hex> <address>
  ECHO                               -> OK <port> of a listener echoing every byte back
  BYE                                -> OK, and the control connection ends
"""
import argparse
import select
import socket
import sys
import threading
import time

LOOPBACK = "127.0.0.1"


def to_hex(b):
    return b.hex() if b else "-"


def from_hex(s):
    return b"" if s == "-" else bytes.fromhex(s)


class Peer:
    def __init__(self):
        self.socks = {}
        self.accepted = {}
        self.next_id = 1
        self.lock = threading.Lock()

    def add(self, s):
        with self.lock:
            i = self.next_id
            self.next_id += 1
            self.socks[i] = s
            return i

    def read(self, i, n, timeout_ms):
        s = self.socks[i]
        out = b""
        deadline = time.monotonic() + timeout_ms / 1000
        while len(out) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([s], [], [], left)[0]:
                break
            chunk = s.recv(min(65536, n - len(out)))
            if not chunk:
                break
            out += chunk
        return out

    def quiet(self, i, quiet_ms):
        s = self.socks[i]
        out = b""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if not select.select([s], [], [], quiet_ms / 1000)[0]:
                break
            chunk = s.recv(65536)
            if not chunk:
                break
            out += chunk
        return out

    def closed(self, i, timeout_ms):
        s = self.socks[i]
        deadline = time.monotonic() + timeout_ms / 1000
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([s], [], [], left)[0]:
                return False
            try:
                if not s.recv(65536):
                    return True
            except OSError:
                return True

    def accept_later(self, lid, timeout_ms, greeting):
        listener = self.socks[lid]

        def run():
            if select.select([listener], [], [], timeout_ms / 1000)[0]:
                conn, _ = listener.accept()
                conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                if greeting:
                    conn.sendall(greeting)
                with self.lock:
                    self.accepted[lid] = self.add_locked(conn)

        threading.Thread(target=run, daemon=True).start()

    def add_locked(self, s):
        i = self.next_id
        self.next_id += 1
        self.socks[i] = s
        return i

    def wait_accepted(self, lid, timeout_ms):
        deadline = time.monotonic() + timeout_ms / 1000
        while time.monotonic() < deadline:
            with self.lock:
                if lid in self.accepted:
                    return self.accepted.pop(lid)
            time.sleep(0.002)
        return None

    def command(self, words):
        op = words[0]
        if op == "CONNECT":
            s = socket.create_connection((LOOPBACK, int(words[1])), timeout=5)
            s.settimeout(None)
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            return "OK %d" % self.add(s)
        if op == "LISTEN":
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind((LOOPBACK, 0))
            s.listen(16)
            return "OK %d %d" % (self.add(s), s.getsockname()[1])
        if op == "ACCEPT":
            self.accept_later(int(words[1]), int(words[2]), from_hex(words[3]))
            return "OK"
        if op == "ACCEPTED":
            i = self.wait_accepted(int(words[1]), int(words[2]))
            return "OK %d" % i if i else "ERR nobody connected"
        if op == "WRITE":
            self.socks[int(words[1])].sendall(from_hex(words[2]))
            return "OK"
        if op == "READ":
            return "OK " + to_hex(self.read(int(words[1]), int(words[2]), int(words[3])))
        if op == "QUIET":
            return "OK " + to_hex(self.quiet(int(words[1]), int(words[2])))
        if op == "CLOSED":
            return "OK %d" % (1 if self.closed(int(words[1]), int(words[2])) else 0)
        if op == "CLOSE":
            s = self.socks.pop(int(words[1]))
            s.close()
            return "OK"
        if op == "UDP":
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind((LOOPBACK, 0))
            return "OK %d %d" % (self.add(s), s.getsockname()[1])
        if op == "SENDTO":
            self.socks[int(words[1])].sendto(from_hex(words[3]), (LOOPBACK, int(words[2])))
            return "OK"
        if op == "RECVFROM":
            s = self.socks[int(words[1])]
            if not select.select([s], [], [], int(words[2]) / 1000)[0]:
                return "OK - -"
            data, addr = s.recvfrom(65536)
            return "OK %s %s" % (to_hex(data), addr[0])
        if op == "ECHO":
            return "OK %d" % self.start_echo()
        return "ERR unknown command"

    def start_echo(self):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind((LOOPBACK, 0))
        listener.listen(16)
        self.add(listener)

        def serve(conn):
            with conn:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        return
                    conn.sendall(data)

        def run():
            while True:
                conn, _ = listener.accept()
                threading.Thread(target=serve, args=(conn,), daemon=True).start()

        threading.Thread(target=run, daemon=True).start()
        return listener.getsockname()[1]


def serve_control(conn, peer):
    f = conn.makefile("rwb", buffering=0)
    for line in f:
        words = line.decode().split()
        if not words:
            continue
        if words[0] == "BYE":
            f.write(b"OK\n")
            return
        try:
            answer = peer.command(words)
        except Exception as e:  # the test sees the failure in its answer
            answer = "ERR %s" % str(e).replace("\n", " ")
        f.write(answer.encode() + b"\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lifetime", type=float, default=600)
    args = ap.parse_args()
    control = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    control.bind((LOOPBACK, 0))
    control.listen(4)
    print("PORT %d" % control.getsockname()[1], flush=True)
    peer = Peer()
    deadline = time.monotonic() + args.lifetime
    while time.monotonic() < deadline:
        if not select.select([control], [], [], 1)[0]:
            continue
        conn, _ = control.accept()
        threading.Thread(target=serve_control, args=(conn, peer), daemon=True).start()
    sys.exit(0)


if __name__ == "__main__":
    main()
