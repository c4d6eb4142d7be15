#!/usr/bin/env node
// A small game room over kiv from Node.js, declared through koffi exactly as a script host declares functions.
//
// One script plays every part, as a game loop would: a player server, three
// players (alice, bob, carol) exchanging tokens, messages and shared data, a
// score packed into bytes, and alice sending a file to bob. Every wait polls
// with a deadline; nothing blocks without a limit.
//
//     npm ci --prefix examples/node        (once: installs koffi)
//     node examples/node/game_room.js [PATH-TO-LIBKIV]
//
// The library is found as the first argument, else $KIV_LIBRARY, else
// "libkiv.so" (kiv.dll on Windows) on the system's search path. Exit status 0
// when every step was seen to work, 1 otherwise, 77 when koffi is not installed.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');

let koffi;
try {
    koffi = require('koffi');
} catch (e) {
    console.log('game_room: skipped: koffi is not installed (run: npm ci --prefix examples/node)');
    process.exit(77);
}

// Every function of kiv.h. Reals are doubles; a string argument is
// `const char *`: koffi passes a JS string as UTF-8 and a Buffer as its bytes.
// Text results are `const char *` (koffi copies them into JS strings at once,
// as a binding must: the library's buffer is replaced by later calls). The
// pack_* results are bytes, not text: declared `const uint8_t *`, they come
// back as a pointer that bytesAt() copies into a Buffer. Declared as
// `const char *`, koffi would decode them as UTF-8, turn bytes 0x80-0xFF into
// U+FFFD, and encode that back as other bytes: unpack_big(pack_big(1234567))
// would read 1246939. Functions are cdecl, koffi's default.
const DECLARATIONS = `
double kiv_connect(const char *host, double port, double kind)
double kiv_listen(double port, double mode, double limit)
double kiv_accept(double handle)
double kiv_disconnect(double handle)
double kiv_valid(double handle)
double kiv_player_id(double handle)
const char *kiv_ipaddress(double handle, double player)
const char *copyright()
double kiv_token_send(double handle, const char *text, const char *host, double port)
double kiv_token_delimiter(double handle, const char *delimiter)
double kiv_token_receive(double handle)
double kiv_token_wait(double handle)
const char *kiv_token_value(double handle)
const char *kiv_token_ipaddress(double handle)
double kiv_message_send(double handle, double id, double player, const char *value)
double kiv_message_receive(double handle)
double kiv_message_wait(double handle)
const char *kiv_message_value(double handle)
double kiv_message_id(double handle)
double kiv_message_player(double handle)
double kiv_data_type(double handle, double slot)
double kiv_data_get_int(double handle, double slot)
const char *kiv_data_get_str(double handle, double slot)
double kiv_data_set_int(double handle, double slot, double value)
double kiv_data_set_str(double handle, double slot, const char *value)
double kiv_file_send(double handle, const char *file_name)
double kiv_filesize(const char *file_name)
double kiv_file_receive(double handle, const char *file_name, double size)
double kiv_file_wait(double handle)
double kiv_file_byte(double handle)
double kiv_file_percentage(double handle)
const uint8_t *pack_small(double value)
const uint8_t *pack_normal(double value)
const uint8_t *pack_big(double value)
double unpack_small(const char *s, double position)
double unpack_normal(const char *s, double position)
double unpack_big(const char *s, double position)
double kiv_local_port(double handle)
double kiv_token_port(double handle)
const char *kiv_last_error()
double kiv_player_count(double handle)
const char *kiv_version()
`;

const STEP_SECONDS = 10; // the longest any one step may take
const MAX_PLAYERS = 8;

class Failed extends Error {}

function load(file) {
    const lib = koffi.load(file);
    const kiv = {};
    for (const line of DECLARATIONS.trim().split('\n')) {
        const name = line.match(/(\w+)\(/)[1];
        kiv[name] = lib.func(line);
    }
    // A text result that may hold any bytes (a token carrying packed
    // numbers) is declared a second time, as bytes.
    kiv.kiv_token_value_bytes = lib.func('kiv_token_value', 'const uint8_t *', ['double']);
    return kiv;
}

function findLibrary() {
    if (process.argv[2]) return process.argv[2];
    if (process.env.KIV_LIBRARY) return process.env.KIV_LIBRARY;
    return process.platform === 'win32' ? 'kiv.dll' : 'libkiv.so';
}

// The bytes of a NUL-terminated result, copied into a Buffer (without the 0).
function bytesAt(pointer) {
    return pointer ? Buffer.from(koffi.decode(pointer, 'uint8_t', -1)) : Buffer.alloc(0);
}

// Bytes to pass as a string argument: koffi passes a Buffer as it is, so the
// terminating 0 byte the library reads up to must be there.
function cBytes(...parts) {
    return Buffer.concat([...parts.map((p) => (Buffer.isBuffer(p) ? p : Buffer.from(p))), Buffer.alloc(1)]);
}

const pause = (ms) => Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, ms);

// Polls condition() until it holds, at most STEP_SECONDS; a game would check
// once per frame instead.
function until(what, condition) {
    const deadline = Date.now() + STEP_SECONDS * 1000;
    while (!condition()) {
        if (Date.now() > deadline) throw new Failed('timed out: ' + what);
        pause(2);
    }
}

const say = (who, what) => console.log('  ' + who.padEnd(8) + ' ' + what);
const section = (title) => console.log('\n== ' + title);
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);

class Room {
    constructor(kiv) {
        this.kiv = kiv;
    }

    // ---- helpers shaped like a game's per-frame polling ----

    nextToken(handle, who) {
        until(who + ' gets a token', () => this.kiv.kiv_token_receive(handle) === 1);
        return this.kiv.kiv_token_value(handle);
    }

    nextMessage(handle, who) {
        const kiv = this.kiv;
        until(who + ' gets a message', () => kiv.kiv_message_receive(handle) === 1);
        return [kiv.kiv_message_id(handle), kiv.kiv_message_player(handle), kiv.kiv_message_value(handle)];
    }

    expectToken(handle, who, wanted) {
        const got = this.nextToken(handle, who);
        if (got !== wanted) throw new Failed(`${who} got token ${JSON.stringify(got)}, not ${JSON.stringify(wanted)}`);
        say(who, `got token '${got}'`);
    }

    expectMessage(handle, who, wanted) {
        const got = this.nextMessage(handle, who);
        if (!same(got, wanted)) throw new Failed(`${who} got message ${JSON.stringify(got)}, not ${JSON.stringify(wanted)}`);
        const sender = got[1] === 0 ? 'the server' : 'player ' + got[1];
        say(who, `got message ${got[0]} from ${sender}: '${got[2]}'`);
    }

    seesInt(handle, who, slot, value) {
        const kiv = this.kiv;
        until(`${who} sees data ${slot}`,
            () => kiv.kiv_data_type(handle, slot) === 0 && kiv.kiv_data_get_int(handle, slot) === value);
        say(who, `sees data ${slot} = ${value}`);
    }

    seesStr(handle, who, slot, value) {
        const kiv = this.kiv;
        until(`${who} sees data ${slot}`,
            () => kiv.kiv_data_type(handle, slot) === 1 && kiv.kiv_data_get_str(handle, slot) === value);
        say(who, `sees data ${slot} = '${value}'`);
    }

    // Port 0: the system picks a free port, and kiv_local_port tells which.
    listen(mode, limit) {
        const handle = this.kiv.kiv_listen(0, mode, limit);
        if (handle === 0) throw new Failed('no server: ' + this.kiv.kiv_last_error());
        return [handle, this.kiv.kiv_local_port(handle)];
    }

    // ---- the scene ----

    play() {
        const kiv = this.kiv;
        console.log(kiv.copyright() + ' (library ' + kiv.kiv_version() + ')');

        section('A player server and three players');
        const [server, port] = this.listen(3, MAX_PLAYERS);
        say('server', `listens on port ${port} for up to ${MAX_PLAYERS} players`);
        const players = {};
        for (const name of ['alice', 'bob', 'carol']) {
            const handle = kiv.kiv_connect('127.0.0.1', port, 3);
            if (handle === 0) throw new Failed(name + ' cannot join: ' + kiv.kiv_last_error());
            players[name] = handle;
            say(name, 'joined as player ' + kiv.kiv_player_id(handle));
        }
        const { alice, bob, carol } = players;
        until('the server counts 3 players', () => kiv.kiv_player_count(server) === 3);
        say('server', 'counts 3 players');

        section('Tokens: a line to everybody');
        if (kiv.kiv_token_send(alice, 'hello, room', '', 0) !== 1) throw new Failed('alice cannot send a token');
        say('alice', "sends token 'hello, room'");
        this.expectToken(server, 'server', 'hello, room');
        this.expectToken(bob, 'bob', 'hello, room');
        this.expectToken(carol, 'carol', 'hello, room');

        section('Messages: to the server, to one player, to everybody');
        kiv.kiv_message_send(bob, 1, 0, 'ready');
        say('bob', "sends message 1 'ready' to the server");
        this.expectMessage(server, 'server', [1, 2, 'ready']);
        kiv.kiv_message_send(server, 2, 2, 'you start');
        say('server', "answers bob only: message 2 'you start'");
        this.expectMessage(bob, 'bob', [2, 0, 'you start']);
        kiv.kiv_message_send(carol, 3, -1, 'good luck');
        say('carol', "sends message 3 'good luck' to everybody");
        this.expectMessage(server, 'server', [3, 3, 'good luck']);
        this.expectMessage(alice, 'alice', [3, 3, 'good luck']);
        this.expectMessage(bob, 'bob', [3, 3, 'good luck']);
        // What the wire cannot carry is refused, not garbled, and the library says why.
        if (kiv.kiv_message_send(carol, 253, 0, 'x') !== 0) throw new Failed('message id 253 was accepted');
        say('carol', `message id 253 is refused (0): ${kiv.kiv_last_error()}`);

        section('Shared data: slots everybody sees');
        kiv.kiv_data_set_int(server, 1, 3);
        say('server', 'sets data 1 = 3 (the round)');
        for (const name of ['alice', 'bob', 'carol']) this.seesInt(players[name], name, 1, 3);
        kiv.kiv_data_set_str(alice, 2, 'alice leads');
        say('alice', "sets data 2 = 'alice leads'");
        this.seesStr(server, 'server', 2, 'alice leads');
        this.seesStr(bob, 'bob', 2, 'alice leads');
        this.seesStr(carol, 'carol', 2, 'alice leads');

        this.packedScore(alice, bob);
        this.sendFile(alice, bob);

        section('Everyone leaves');
        for (const name of ['carol', 'bob', 'alice']) {
            kiv.kiv_disconnect(players[name]);
            say(name, 'leaves');
        }
        until('the server sees every player leave', () => kiv.kiv_player_count(server) === 0);
        say('server', 'counts 0 players');
        kiv.kiv_disconnect(server);
    }

    // Packed numbers are bytes: they go into a Buffer and back out of one.
    packedScore(alice, bob) {
        const kiv = this.kiv;
        section('Packed numbers: bytes, not text');
        const cases = [['small', 0], ['small', 249], ['normal', 200], ['normal', 62499],
            ['big', 1234567], ['big', 15624999], ['big', 9999999]];
        for (const [size, value] of cases) {
            const packed = bytesAt(kiv['pack_' + size](value));
            const back = kiv['unpack_' + size](cBytes(packed), 0);
            if (back !== value) throw new Failed(`unpack_${size}(pack_${size}(${value})) is ${back}`);
        }
        say('anyone', 'pack_* then unpack_* gives back every number tried, 0 to 15624999');
        const score = bytesAt(kiv.pack_big(1234567));
        say('alice', `sends token 'score:' and pack_big(1234567), bytes ${score.toString('hex')}`);
        if (kiv.kiv_token_send(alice, cBytes('score:', score), '', 0) !== 1) throw new Failed('alice cannot send');
        until('bob gets the score', () => kiv.kiv_token_receive(bob) === 1);
        const token = bytesAt(kiv.kiv_token_value_bytes(bob));
        const got = kiv.unpack_big(cBytes(token), 6);
        if (got !== 1234567) throw new Failed(`bob unpacked ${got} from ${token.toString('hex')}`);
        say('bob', `unpacks the score at position 6: ${got}`);
    }

    // Files travel on plain TCP: bob opens a plain server, tells alice its
    // port in a message, alice connects, sends the size as a token and then
    // the file.
    sendFile(alice, bob) {
        const kiv = this.kiv;
        section('A file from alice to bob');
        const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'kiv-game-room-'));
        const sent = path.join(folder, 'map.bin');
        const received = path.join(folder, 'map-copy.bin');
        fs.writeFileSync(sent, require('crypto').randomBytes(200000));
        try {
            const [listener, port] = this.listen(1, 0);
            kiv.kiv_message_send(bob, 5, 1, String(port));
            say('bob', `listens on port ${port} and tells alice in message 5`);
            const where = this.nextMessage(alice, 'alice')[2];
            const sender = kiv.kiv_connect('127.0.0.1', Number(where), 1);
            if (sender === 0) throw new Failed('alice cannot connect to bob: ' + kiv.kiv_last_error());
            const size = kiv.kiv_filesize(sent);
            kiv.kiv_token_send(sender, String(size), '', 0);
            if (kiv.kiv_file_send(sender, sent) !== 1) throw new Failed('kiv_file_send: ' + kiv.kiv_last_error());
            say('alice', `connects, sends the size ${size} as a token, then the file`);

            // kiv_accept gives the handle of an empty entry while nobody waits.
            let receiver = -1;
            until('bob accepts alice', () => kiv.kiv_valid((receiver = kiv.kiv_accept(listener))) === 1);
            const announced = Number(this.nextToken(receiver, 'bob'));
            if (kiv.kiv_file_receive(receiver, received, announced) !== 1) {
                throw new Failed('kiv_file_receive: ' + kiv.kiv_last_error());
            }
            let shown = -1;
            until('the file arrives', () => {
                const percent = kiv.kiv_file_percentage(receiver);
                if (Math.floor(percent / 25) !== Math.floor(shown / 25)) {
                    shown = percent;
                    say('bob', `received ${String(percent).padStart(3)}%`);
                }
                return kiv.kiv_file_byte(receiver) === announced;
            });
            // Every byte is in: these waits only see the transfer threads close the files.
            if (kiv.kiv_file_wait(receiver) !== 1 || kiv.kiv_file_wait(sender) !== 1) {
                throw new Failed('a transfer did not complete');
            }
            if (!fs.readFileSync(sent).equals(fs.readFileSync(received))) throw new Failed('the received file differs');
            say('bob', `has the whole file: ${announced} bytes, identical`);
            for (const handle of [sender, receiver, listener]) kiv.kiv_disconnect(handle);
        } finally {
            fs.rmSync(folder, { recursive: true, force: true });
        }
    }
}

function main() {
    try {
        new Room(load(findLibrary())).play();
    } catch (e) {
        console.error('game_room: FAILED: ' + (e instanceof Failed ? e.message : e.stack));
        return 1;
    }
    console.log('\n== The game room is over: every step above was seen to work.');
    return 0;
}

process.exitCode = main();
