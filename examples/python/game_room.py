#!/usr/bin/env python3
"""A small game room over kiv, written only with Python's standard ctypes module.

One script plays every part, as a game loop would: a player server, three
players (alice, bob, carol) exchanging tokens, messages and shared data, and
alice sending a file to bob. Every wait polls with a deadline; nothing blocks
without a limit.

    python3 game_room.py [PATH-TO-LIBKIV]

The library is found as the first argument, else $KIV_LIBRARY, else the
system's libkiv (ctypes.util.find_library). Exit status 0 when every step
was seen to work, 1 otherwise.
"""

import ctypes
import ctypes.util
import os
import random
import sys
import tempfile
import time

REAL = ctypes.c_double
STRING = ctypes.c_char_p

# Every function of kiv.h: (result, arguments). Reals are doubles, strings
# are pointers to NUL-terminated bytes; the calling convention is C (cdecl).
SIGNATURES = {
    "kiv_connect": (REAL, [STRING, REAL, REAL]),
    "kiv_listen": (REAL, [REAL, REAL, REAL]),
    "kiv_accept": (REAL, [REAL]),
    "kiv_disconnect": (REAL, [REAL]),
    "kiv_valid": (REAL, [REAL]),
    "kiv_player_id": (REAL, [REAL]),
    "kiv_ipaddress": (STRING, [REAL, REAL]),
    "copyright": (STRING, []),
    "kiv_token_send": (REAL, [REAL, STRING, STRING, REAL]),
    "kiv_token_delimiter": (REAL, [REAL, STRING]),
    "kiv_token_receive": (REAL, [REAL]),
    "kiv_token_wait": (REAL, [REAL]),
    "kiv_token_value": (STRING, [REAL]),
    "kiv_token_ipaddress": (STRING, [REAL]),
    "kiv_message_send": (REAL, [REAL, REAL, REAL, STRING]),
    "kiv_message_receive": (REAL, [REAL]),
    "kiv_message_wait": (REAL, [REAL]),
    "kiv_message_value": (STRING, [REAL]),
    "kiv_message_id": (REAL, [REAL]),
    "kiv_message_player": (REAL, [REAL]),
    "kiv_data_type": (REAL, [REAL, REAL]),
    "kiv_data_get_int": (REAL, [REAL, REAL]),
    "kiv_data_get_str": (STRING, [REAL, REAL]),
    "kiv_data_set_int": (REAL, [REAL, REAL, REAL]),
    "kiv_data_set_str": (REAL, [REAL, REAL, STRING]),
    "kiv_file_send": (REAL, [REAL, STRING]),
    "kiv_filesize": (REAL, [STRING]),
    "kiv_file_receive": (REAL, [REAL, STRING, REAL]),
    "kiv_file_wait": (REAL, [REAL]),
    "kiv_file_byte": (REAL, [REAL]),
    "kiv_file_percentage": (REAL, [REAL]),
    "pack_small": (STRING, [REAL]),
    "pack_normal": (STRING, [REAL]),
    "pack_big": (STRING, [REAL]),
    "unpack_small": (REAL, [STRING, REAL]),
    "unpack_normal": (REAL, [STRING, REAL]),
    "unpack_big": (REAL, [STRING, REAL]),
    "kiv_local_port": (REAL, [REAL]),
    "kiv_token_port": (REAL, [REAL]),
    "kiv_last_error": (STRING, []),
    "kiv_player_count": (REAL, [REAL]),
    "kiv_version": (STRING, []),
}

STEP_SECONDS = 10  # the longest any one step may take
MAX_PLAYERS = 8


class Failed(Exception):
    pass


def load(path):
    """Loads the library and declares every function, as a game engine's FFI would."""
    lib = ctypes.CDLL(path)
    for name, (result, arguments) in SIGNATURES.items():
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments
    return lib


def find_library():
    if len(sys.argv) > 1:
        return sys.argv[1]
    if os.environ.get("KIV_LIBRARY"):
        return os.environ["KIV_LIBRARY"]
    found = ctypes.util.find_library("kiv")
    if not found:
        raise Failed("no libkiv found: give its path as the first argument (for example build/libkiv.so)")
    return found


def text(raw):
    """A string result as Python text. ctypes copies it at once, which is what
    a binding must do: the library's buffer is replaced by later calls."""
    return raw.decode("utf-8", "replace")


def until(what, condition):
    """Polls condition() until it holds, at most STEP_SECONDS; a game would
    check once per frame instead."""
    deadline = time.monotonic() + STEP_SECONDS
    while not condition():
        if time.monotonic() > deadline:
            raise Failed("timed out: " + what)
        time.sleep(0.002)


def say(who, what):
    print("  %-8s %s" % (who, what), flush=True)


def section(title):
    print("\n== " + title, flush=True)


class Room:
    def __init__(self, kiv):
        self.kiv = kiv

    # ---- helpers shaped like a game's per-frame polling -------------------

    def next_token(self, handle, who):
        until(who + " gets a token", lambda: self.kiv.kiv_token_receive(handle) == 1)
        return text(self.kiv.kiv_token_value(handle))

    def next_message(self, handle, who):
        until(who + " gets a message", lambda: self.kiv.kiv_message_receive(handle) == 1)
        return (int(self.kiv.kiv_message_id(handle)), int(self.kiv.kiv_message_player(handle)),
                text(self.kiv.kiv_message_value(handle)))

    def expect_token(self, handle, who, wanted):
        got = self.next_token(handle, who)
        if got != wanted:
            raise Failed("%s got token %r, not %r" % (who, got, wanted))
        say(who, "got token %r" % got)

    def expect_message(self, handle, who, wanted):
        got = self.next_message(handle, who)
        if got != wanted:
            raise Failed("%s got message %r, not %r" % (who, got, wanted))
        sender = "the server" if got[1] == 0 else "player %d" % got[1]
        say(who, "got message %d from %s: %r" % (got[0], sender, got[2]))

    def sees_int(self, handle, who, slot, value):
        kiv = self.kiv
        until("%s sees data %d" % (who, slot),
              lambda: kiv.kiv_data_type(handle, slot) == 0 and kiv.kiv_data_get_int(handle, slot) == value)
        say(who, "sees data %d = %d" % (slot, value))

    def sees_str(self, handle, who, slot, value):
        kiv = self.kiv
        until("%s sees data %d" % (who, slot),
              lambda: kiv.kiv_data_type(handle, slot) == 1 and text(kiv.kiv_data_get_str(handle, slot)) == value)
        say(who, "sees data %d = %r" % (slot, value))

    def listen(self, mode, limit):
        """Scripts pick their own port: try random ones until kiv_listen gives a handle."""
        for _ in range(200):
            port = random.randint(20000, 32000)
            handle = self.kiv.kiv_listen(port, mode, limit)
            if handle != 0:
                return handle, port
        raise Failed("no free port for a server")

    # ---- the scene --------------------------------------------------------

    def play(self):
        kiv = self.kiv
        print(text(kiv.copyright()))

        section("A player server and three players")
        server, port = self.listen(3, MAX_PLAYERS)
        say("server", "listens on port %d for up to %d players" % (port, MAX_PLAYERS))
        players = {}
        for name in ("alice", "bob", "carol"):
            handle = kiv.kiv_connect(b"127.0.0.1", port, 3)
            if handle == 0:
                raise Failed(name + " cannot join")
            players[name] = handle
            say(name, "joined as player %d" % kiv.kiv_player_id(handle))
        alice, bob, carol = players["alice"], players["bob"], players["carol"]
        until("the server lists player 3", lambda: kiv.kiv_ipaddress(server, 3) != b"")
        say("server", "sees players 1, 2 and 3")

        section("Tokens: a line to everybody")
        if kiv.kiv_token_send(alice, b"hello, room", b"", 0) != 1:
            raise Failed("alice cannot send a token")
        say("alice", "sends token 'hello, room'")
        self.expect_token(server, "server", "hello, room")
        self.expect_token(bob, "bob", "hello, room")
        self.expect_token(carol, "carol", "hello, room")

        section("Messages: to the server, to one player, to everybody")
        kiv.kiv_message_send(bob, 1, 0, b"ready")
        say("bob", "sends message 1 'ready' to the server")
        self.expect_message(server, "server", (1, 2, "ready"))
        kiv.kiv_message_send(server, 2, 2, b"you start")
        say("server", "answers bob only: message 2 'you start'")
        self.expect_message(bob, "bob", (2, 0, "you start"))
        kiv.kiv_message_send(carol, 3, -1, b"good luck")
        say("carol", "sends message 3 'good luck' to everybody")
        self.expect_message(server, "server", (3, 3, "good luck"))
        self.expect_message(alice, "alice", (3, 3, "good luck"))
        self.expect_message(bob, "bob", (3, 3, "good luck"))
        # What the wire cannot carry is refused, not garbled.
        if kiv.kiv_message_send(carol, 253, 0, b"x") != 0:
            raise Failed("message id 253 was accepted")
        say("carol", "message id 253 is refused (0): one byte cannot carry it")

        section("Shared data: slots everybody sees")
        kiv.kiv_data_set_int(server, 1, 3)
        say("server", "sets data 1 = 3 (the round)")
        for name in ("alice", "bob", "carol"):
            self.sees_int(players[name], name, 1, 3)
        kiv.kiv_data_set_str(alice, 2, b"alice leads")
        say("alice", "sets data 2 = 'alice leads'")
        self.sees_str(server, "server", 2, "alice leads")
        self.sees_str(bob, "bob", 2, "alice leads")
        self.sees_str(carol, "carol", 2, "alice leads")

        self.send_file(alice, bob, server)

        section("Everyone leaves")
        for name in ("carol", "bob", "alice"):
            kiv.kiv_disconnect(players[name])
            say(name, "leaves")
        until("the server sees every player leave",
              lambda: all(kiv.kiv_ipaddress(server, n) == b"" for n in (1, 2, 3)))
        say("server", "players 1, 2 and 3 have no address any more")
        kiv.kiv_disconnect(server)

    def send_file(self, alice, bob, server):
        """Files travel on plain TCP: bob opens a plain server, tells alice its
        port in a message, alice connects, sends the size as a token and then
        the file."""
        kiv = self.kiv
        section("A file from alice to bob")
        folder = tempfile.mkdtemp(prefix="kiv-game-room-")
        sent = os.path.join(folder, "map.bin")
        received = os.path.join(folder, "map-copy.bin")
        with open(sent, "wb") as f:
            f.write(os.urandom(200000))
        try:
            listener, port = self.listen(1, 0)
            kiv.kiv_message_send(bob, 5, 1, str(port).encode())
            say("bob", "listens on port %d and tells alice in message 5" % port)
            _, _, where = self.next_message(alice, "alice")
            sender = kiv.kiv_connect(b"127.0.0.1", int(where), 1)
            if sender == 0:
                raise Failed("alice cannot connect to bob")
            size = kiv.kiv_filesize(sent.encode())
            kiv.kiv_token_send(sender, b"%d" % size, b"", 0)
            if kiv.kiv_file_send(sender, sent.encode()) != 1:
                raise Failed("kiv_file_send refused")
            say("alice", "connects, sends the size %d as a token, then the file" % size)

            holder = []  # kiv_accept gives the handle of an empty entry while nobody waits
            until("bob accepts alice",
                  lambda: holder.append(kiv.kiv_accept(listener)) or kiv.kiv_valid(holder[-1]) == 1)
            receiver = holder[-1]
            announced = int(self.next_token(receiver, "bob"))
            if kiv.kiv_file_receive(receiver, received.encode(), announced) != 1:
                raise Failed("kiv_file_receive refused")
            shown = [-1]

            def progress():
                percent = int(kiv.kiv_file_percentage(receiver))
                if percent // 25 != shown[0] // 25:
                    shown[0] = percent
                    say("bob", "received %3d%%" % percent)
                return kiv.kiv_file_byte(receiver) == announced

            until("the file arrives", progress)
            # Every byte is in: these waits only see the transfer threads close the files.
            if kiv.kiv_file_wait(receiver) != 1 or kiv.kiv_file_wait(sender) != 1:
                raise Failed("a transfer did not complete")
            with open(sent, "rb") as a, open(received, "rb") as b:
                if a.read() != b.read():
                    raise Failed("the received file differs")
            say("bob", "has the whole file: %d bytes, identical" % announced)
            for handle in (sender, receiver, listener):
                kiv.kiv_disconnect(handle)
        finally:
            for path in (sent, received):
                if os.path.exists(path):
                    os.remove(path)
            os.rmdir(folder)


def main():
    try:
        kiv = load(find_library())
        Room(kiv).play()
    except (Failed, OSError) as e:
        print("game_room: FAILED: %s" % e, file=sys.stderr)
        return 1
    print("\n== The game room is over: every step above was seen to work.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
