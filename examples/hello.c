/* hello.c: a kiv consumer in plain C: the library's notice, number packing, and a connection to itself. */
#include <stdio.h>
#include <string.h>

#include <kiv.h>

int main(void) {
    printf("%s\n", copyright());

    /* Numbers travel as base-250 digits that avoid the bytes 0, 10 and 126. */
    const char* packed = pack_normal(12345);
    printf("12345 packs into %u bytes and unpacks to %.0f\n", (unsigned)strlen(packed), unpack_normal(packed, 0));

    /* A handle that names nothing gives the failure value, never a crash. */
    printf("kiv_valid(42) = %.0f\n", kiv_valid(42));

    /* A plain server and a client on loopback, in one program. */
    double port = 61000, server = 0;
    while (server == 0 && port < 61100) {
        server = kiv_listen(port, 1, 0); /* 0 when the port is in use: try the next */
        if (server == 0) ++port;
    }
    if (server == 0) {
        printf("no free port\n");
        return 1;
    }
    double client = kiv_connect("127.0.0.1", port, 1);
    double accepted = -1; /* not 0: handle 0 means the current connection */
    for (int i = 0; i < 5000 && kiv_valid(accepted) != 1; ++i) accepted = kiv_accept(server);
    if (client == 0 || kiv_valid(accepted) != 1) {
        printf("no connection\n");
        return 1;
    }
    kiv_token_send(client, "hello over loopback", "", 0);
    if (kiv_token_wait(accepted) == 1 && kiv_token_receive(accepted) == 1) {
        printf("the server got: %s\n", kiv_token_value(accepted));
    }
    kiv_disconnect(client);
    kiv_disconnect(accepted);
    kiv_disconnect(server);
    return 0;
}
