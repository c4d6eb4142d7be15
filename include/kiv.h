/* kiv.h: the C interface of kiv, a networking library for scripts.
 *
 * Every function takes doubles and NUL-terminated strings and returns a double
 * or a string, so that any host able to call a C function can use it.
 * Connections are named by handles: 1, 2, 3, ... as returned by kiv_connect,
 * kiv_listen and kiv_accept; handle 0 names the current connection (the one
 * most recently opened by kiv_connect/kiv_listen or taken by kiv_accept).
 * Reals are truncated toward zero where an integer is meant.
 *
 * Failure shows in the result: 0 for a number, "" for a string, and
 * kiv_last_error() says why. A handle that names no connection gives the
 * failure value. A connection that is no longer usable (its peer has gone
 * and everything it sent was taken) gives the failure value for every
 * action; what the script already took stays readable: the current token
 * and its sender, the current message, and a transfer's progress.
 *
 * Returned strings belong to the library: copy what you keep. Each contract
 * says how long its string stays valid; "" returned for a failure is a
 * constant, valid for ever. Strings kept by a connection go when its handle
 * is freed by kiv_disconnect (a connection whose peer left keeps them until
 * then).
 *
 * Sending never blocks: what the socket does not take at once waits in the
 * connection's outbox. When that outbox (bytes the socket has not yet taken,
 * 8 MiB) is full, the script's own sends on the connection return 0 and
 * queue nothing, and the connection stays; a player that lets its server's
 * relays pile past the bound is dropped.
 *
 * Received records wait, in order, until the script takes them. Per
 * connection at most 8 MiB of tokens and 8 MiB of messages wait; past that
 * the library stops reading the socket (TCP slows the sender) until the
 * script takes some, so nothing is lost. A UDP endpoint, and a player
 * server's own queues, drop new records past the bound instead.
 *
 * Calls may come from more than one host thread: a connection lives until
 * the last call using it has returned, so kiv_disconnect on one thread ends
 * another thread's kiv_token_wait on the same handle with 0; two threads
 * starting a transfer on one connection get one transfer and one 0; a
 * second kiv_disconnect of a handle never closes a connection another
 * thread has opened under the same number since. The results of the pack_*
 * functions, of kiv_ipaddress and of kiv_last_error are per thread. Strings
 * a connection keeps are shared by the threads as each contract says. */
#ifndef KIV_H
#define KIV_H

/* The version of this header and of the library built with it. CMake takes
 * the project's version from these lines. */
#define KIV_VERSION_MAJOR 1
#define KIV_VERSION_MINOR 0
#define KIV_VERSION_PATCH 0
#define KIV_VERSION_STRING "1.0.0"

/* The relay service (relay connections, kind 2, and the address query of
 * kiv_ipaddress) is found through the environment variable KIV_RELAY, read
 * on every such call: "host" or "host:port" (port 1..65535, default 9713).
 * Unset or empty: the address built into the library, port 9713. Set but
 * malformed: those calls fail (0, ""). */

#if defined(_WIN32)
#  if defined(KIV_STATIC)
#    define KIV_API
#  elif defined(KIV_BUILDING)
#    define KIV_API __declspec(dllexport)
#  else
#    define KIV_API __declspec(dllimport)
#  endif
#  define KIV_CALL __cdecl
#else
#  define KIV_API __attribute__((visibility("default")))
#  define KIV_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Connections ---------------------------------------------------- */

/* Opens a connection and makes it current. kind: 1 plain TCP to host:port;
 * 2 TCP through the relay service, host naming the session to join (any
 * name but "IPADDRESS", which the service answers as an address query); 3 typed
 * TCP to a kiv player server (waits for the player number); 4 UDP endpoint
 * bound to local port. host (kinds 1 and 3): text holding a letter is looked
 * up as a name; a name that does not resolve fails (0), except "localhost" in
 * any case, which then means 127.0.0.1. Other text must be a dotted address
 * of exactly four decimal parts 0..255 without leading zeros ("127.1",
 * "2130706433" and "010.0.0.1" fail). The TCP connect and each handshake
 * step wait at most 10 s each (a host that does not answer gives 0 after
 * 10 s). Result: the new handle, or 0 with the current connection unchanged. */
KIV_API double KIV_CALL kiv_connect(const char* host, double port, double kind);

/* Becomes a server on port and makes it current. mode 1: plain server, take
 * clients with kiv_accept. mode 3: player server that admits up to limit
 * players by itself (limit outside 1..5000 means 5000). Result: the server's
 * handle, or 0 for another mode or a port that cannot be listened on. */
KIV_API double KIV_CALL kiv_listen(double port, double mode, double limit);

/* Takes one waiting client of a plain server as a new plain connection and
 * makes it current. Result: its handle; when no client waits, the handle of
 * an empty entry (kiv_valid gives 0 for it) and there is no current
 * connection. 0 when the server handle is not usable. */
KIV_API double KIV_CALL kiv_accept(double handle);

/* Closes the connection (a relay connection says goodbye first). A handle of
 * 1 or more is freed for reuse, also when the connection had already died.
 * Result: 1 when this call closed it, else 0. */
KIV_API double KIV_CALL kiv_disconnect(double handle);

/* Result: 1 when the handle names a usable connection (a server always is),
 * else 0. */
KIV_API double KIV_CALL kiv_valid(double handle);

/* Result: on a typed client the player number its server gave it; 0 on a
 * player server and on every other kind. */
KIV_API double KIV_CALL kiv_player_id(double handle);

/* The dotted address of the connection's peer; on a player server, of player
 * number `player` ("" for a player that left or does not exist); "" on UDP.
 * With a handle that names no usable connection (for example -1, or a
 * connection whose peer left) it asks the relay service for this machine's
 * public address ("" when it cannot), which may take up to the query's time
 * limit. The result is valid until the next kiv_ipaddress call on the same
 * thread. */
KIV_API const char* KIV_CALL kiv_ipaddress(double handle, double player);

/* A one-line copyright notice: a constant, valid for ever. */
KIV_API const char* KIV_CALL copyright(void);

/* ---- Tokens: lines of text ------------------------------------------ */

/* Sends text followed by the delimiter. On a player server it goes to every
 * player; on UDP it goes to host:port (by the host rule of kiv_connect).
 * Result 1 when sent; 0, with nothing sent, on a plain server, during a file
 * transfer, on a typed connection (client or server) when the text holds a
 * line end (it would forge a record), and on UDP unless the system took the
 * datagram (a host that does not resolve, an empty host, port 0). On plain
 * TCP and UDP any text goes out as given; a delimiter inside it splits it
 * into several tokens at the other end. */
KIV_API double KIV_CALL kiv_token_send(double handle, const char* text, const char* host, double port);

/* Sets the delimiter that ends tokens in both directions (any length, even
 * empty: then every byte received is a token). Plain TCP and UDP only; the
 * default is "\n". It applies at once, also to bytes already received and
 * not yet cut into tokens. A change during a file transfer is accepted (1)
 * and applies at once: the transfer uses each token's own delimiter. Result
 * 1, or 0 on other kinds and on servers. */
KIV_API double KIV_CALL kiv_token_delimiter(double handle, const char* delimiter);

/* Moves the oldest received token into the current token. Result 1, or 0
 * when none is queued (or a file transfer occupies the connection). */
KIV_API double KIV_CALL kiv_token_receive(double handle);

/* Blocks until a token is queued (it stays queued): 1. Returns 0 when the
 * connection closes meanwhile or can never receive one (a plain server). */
KIV_API double KIV_CALL kiv_token_wait(double handle);

/* The current token's text; valid until the next kiv_token_receive on that
 * connection. */
KIV_API const char* KIV_CALL kiv_token_value(double handle);

/* The current token's sender address on UDP; "" on other kinds. Valid until
 * the next kiv_token_receive on that connection; it stays readable after the
 * connection was closed, as the token does. */
KIV_API const char* KIV_CALL kiv_token_ipaddress(double handle);

/* ---- Messages: typed connections only ------------------------------- */

/* Sends value with an id (0..255; 252 to 254 cannot be sent). From a client:
 * player 0 = to the server's script, -1 = to the server and every other
 * player, n = to player n only. From the server's script: 0 = to itself,
 * -1 = to every player, n = to player n. Result 1, or 0 with nothing sent on
 * other kinds and for what cannot be sent: ids 252 to 254, a value holding a
 * line end, from a client a player below -1. */
KIV_API double KIV_CALL kiv_message_send(double handle, double id, double player, const char* value);

/* Moves the oldest received message into the current message: 1, or 0. */
KIV_API double KIV_CALL kiv_message_receive(double handle);

/* Blocks until a message is queued: 1 (at once on other kinds). 0 when the
 * connection closes meanwhile. */
KIV_API double KIV_CALL kiv_message_wait(double handle);

/* The current message's value (valid until the next kiv_message_receive on
 * that connection), id, and player: on a client the sender (0 the server's
 * script), on a server the player who sent it. */
KIV_API const char* KIV_CALL kiv_message_value(double handle);
KIV_API double KIV_CALL kiv_message_id(double handle);
KIV_API double KIV_CALL kiv_message_player(double handle);

/* ---- Shared data: 256 slots on typed connections -------------------- */

/* Slot type: 1 string, 0 integer. 0 on other kinds or slots outside 0..255. */
KIV_API double KIV_CALL kiv_data_type(double handle, double slot);
/* The slot's integer (0 on failure). */
KIV_API double KIV_CALL kiv_data_get_int(double handle, double slot);
/* The slot's string (""). The library keeps one copy per slot: the result
 * stays valid, whatever arrives meanwhile, until the next kiv_data_get_str
 * of that same slot on that connection. */
KIV_API const char* KIV_CALL kiv_data_get_str(double handle, double slot);
/* Stores the value in the slot here at once and sends it to the server (a
 * server sends it to every player; a player joining later gets every slot
 * that is not empty). Integers 0..15624999 arrive unchanged; others arrive as
 * another number (-1 reads as -251; see docs/shared-data.md). Result 1, or 0
 * with nothing stored or sent on other kinds, for slots outside 0..255 or 252
 * to 254, for an integer whose record would hold a 0 byte (-2, -251 to -500:
 * 253 of the values -1000..-1; 15875000 to 15937499; others further out) and
 * for a string holding a line end. */
KIV_API double KIV_CALL kiv_data_set_int(double handle, double slot, double value);
KIV_API double KIV_CALL kiv_data_set_str(double handle, double slot, const char* value);

/* ---- Files: plain TCP only ------------------------------------------ */

/* Starts sending the file's bytes on the connection: as many as the file
 * holds now (what kiv_filesize gives). The file is opened before the call
 * returns 1; 0, with nothing sent, when it cannot be opened and read (a
 * folder, a missing file), is 2 GiB or larger, on other kinds, on servers, or
 * while a transfer runs. */
KIV_API double KIV_CALL kiv_file_send(double handle, const char* file_name);
/* The file's size in bytes, 0 when it cannot be opened. */
KIV_API double KIV_CALL kiv_filesize(const char* file_name);
/* Starts writing the next `size` bytes that arrive into the file (bytes
 * already received as tokens included). The file is created (or emptied)
 * before the call returns 1; 0, with no byte taken from the connection, when
 * it cannot be created, on other kinds, on servers, or while a transfer
 * runs. */
KIV_API double KIV_CALL kiv_file_receive(double handle, const char* file_name, double size);
/* Blocks until the transfer has finished: 1 when complete (the file is
 * closed), 0 when it can never complete. 1 at once on other kinds. */
KIV_API double KIV_CALL kiv_file_wait(double handle);
/* Bytes transferred so far, and whole percent of the announced size. */
KIV_API double KIV_CALL kiv_file_byte(double handle);
KIV_API double KIV_CALL kiv_file_percentage(double handle);

/* ---- Number packing: base-250 digits without 0, 10 or 126 bytes ----- */

/* Pack an integer (0..249, 0..62499, 0..15624999) into 1, 2 or 3 bytes. The
 * result is valid until the next pack_small, pack_normal or pack_big call on
 * the same thread. It is bytes, not text: a host whose strings are Unicode
 * (JavaScript, C#, Java) must pass it on as bytes or Latin-1, never UTF-8. */
KIV_API const char* KIV_CALL pack_small(double value);
KIV_API const char* KIV_CALL pack_normal(double value);
KIV_API const char* KIV_CALL pack_big(double value);
/* Unpack the number stored at byte offset position of s. The string's
 * terminating 0 counts as a digit byte (so every packed result reads back:
 * pack_normal(-2) is one byte and its terminator); a number whose bytes lie
 * beyond the terminator reads as 0. */
KIV_API double KIV_CALL unpack_small(const char* s, double position);
KIV_API double KIV_CALL unpack_normal(const char* s, double position);
KIV_API double KIV_CALL unpack_big(const char* s, double position);

/* ---- Additions: ports, the reason for a failure, players, version --- */

/* The local port of a server, a UDP endpoint or a client connection (the one
 * the system chose for port 0); 0 when the handle names none or its socket
 * is closed. */
KIV_API double KIV_CALL kiv_local_port(double handle);

/* On a UDP endpoint, the port of the current token's sender (0 otherwise),
 * readable exactly as long as kiv_token_ipaddress. A server answers with
 * kiv_token_send(h, text, kiv_token_ipaddress(h), kiv_token_port(h)). */
KIV_API double KIV_CALL kiv_token_port(double handle);

/* One line saying why the most recent call on this thread that failed did
 * fail, for example "connect 203.0.113.5:5000: timed out after 10 s" or
 * "handle 7 names no connection"; "" before any failure. Kept until the next
 * failure on this thread; a call that succeeds leaves it. Valid until then. */
KIV_API const char* KIV_CALL kiv_last_error(void);

/* The number of players connected to a player server now; 0 on other kinds. */
KIV_API double KIV_CALL kiv_player_count(double handle);

/* The library's version, KIV_VERSION_STRING of the header it was built
 * with: a constant. */
KIV_API const char* KIV_CALL kiv_version(void);

#ifdef __cplusplus
}
#endif

#endif /* KIV_H */
