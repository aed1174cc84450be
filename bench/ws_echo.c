/* The WebSocket echo server of the benchmarks: a server written in Python
 * would take most of each round trip itself and hide what the clients cost.
 * Listens on 127.0.0.1 (port chosen by the system, printed on the first
 * line), serves one connection at a time, answers the opening handshake and
 * then sends every data frame back as it came (opcode and fin bit kept),
 * answers a ping with a pong and a close with a close.  Runs until killed. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#define GUID "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
#define BUFSIZE (1 << 20)

static unsigned char in[BUFSIZE];
static unsigned char out[BUFSIZE + 16];

static int write_all(int fd, const void *data, size_t len) {
    const char *p = data;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n <= 0)
            return -1;
        p += n;
        len -= (size_t)n;
    }
    return 0;
}

/* Reads the request up to its empty line and answers it; -1 when it is not
 * a WebSocket upgrade or the connection ends first. */
static int handshake(int fd) {
    size_t have = 0;
    char *end = NULL;
    while (end == NULL) {
        if (have >= sizeof(in) - 1)
            return -1;
        ssize_t n = read(fd, in + have, sizeof(in) - 1 - have);
        if (n <= 0)
            return -1;
        have += (size_t)n;
        in[have] = 0;
        end = strstr((char *)in, "\r\n\r\n");
    }
    char *key = NULL;
    for (char *line = (char *)in; line < end; line = strstr(line, "\r\n") + 2) {
        if (strncasecmp(line, "Sec-WebSocket-Key:", 18) == 0) {
            key = line + 18;
            while (*key == ' ')
                key++;
            break;
        }
    }
    if (key == NULL)
        return -1;
    char joined[256];
    size_t keylen = strcspn(key, "\r\n ");
    if (keylen + sizeof(GUID) > sizeof(joined))
        return -1;
    memcpy(joined, key, keylen);
    memcpy(joined + keylen, GUID, sizeof(GUID));
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1((unsigned char *)joined, keylen + sizeof(GUID) - 1, digest);
    unsigned char accept[64];
    EVP_EncodeBlock(accept, digest, SHA_DIGEST_LENGTH);
    char response[256];
    int len = snprintf(response, sizeof(response),
                       "HTTP/1.1 101 Switching Protocols\r\n"
                       "Upgrade: websocket\r\n"
                       "Connection: Upgrade\r\n"
                       "Sec-WebSocket-Accept: %s\r\n\r\n",
                       accept);
    return write_all(fd, response, (size_t)len);
}

/* Echoes frames until the connection ends or a close was answered. */
static void echo(int fd) {
    size_t have = 0;
    for (;;) {
        ssize_t n = read(fd, in + have, sizeof(in) - have);
        if (n <= 0)
            return;
        have += (size_t)n;
        size_t pos = 0, used = 0;
        int closing = 0;
        while (have - pos >= 2) {
            unsigned char b0 = in[pos], b1 = in[pos + 1];
            size_t head = 2;
            uint64_t len = b1 & 0x7f;
            if (len == 126) {
                if (have - pos < 4)
                    break;
                len = ((uint64_t)in[pos + 2] << 8) | in[pos + 3];
                head = 4;
            } else if (len == 127) {
                if (have - pos < 10)
                    break;
                len = 0;
                for (int i = 0; i < 8; i++)
                    len = (len << 8) | in[pos + 2 + i];
                head = 10;
            }
            size_t mask = (b1 & 0x80) ? 4 : 0;
            if (len > BUFSIZE - 14)
                return;
            if (have - pos < head + mask + len)
                break;
            const unsigned char *key = in + pos + head;
            unsigned char *payload = in + pos + head + mask;
            for (uint64_t i = 0; mask && i < len; i++)
                payload[i] ^= key[i & 3];
            unsigned char opcode = b0 & 0x0f;
            if (opcode == 0x9)
                b0 = (b0 & 0xf0) | 0xA;
            if (opcode == 0x8)
                closing = 1;
            if (opcode != 0xA) {
                size_t o = 0;
                out[o++] = b0;
                if (len < 126) {
                    out[o++] = (unsigned char)len;
                } else if (len < 65536) {
                    out[o++] = 126;
                    out[o++] = (unsigned char)(len >> 8);
                    out[o++] = (unsigned char)len;
                } else {
                    out[o++] = 127;
                    for (int i = 7; i >= 0; i--)
                        out[o++] = (unsigned char)(len >> (8 * i));
                }
                memcpy(out + o, payload, len);
                if (write_all(fd, out, o + len) != 0)
                    return;
            }
            pos += head + mask + len;
            used = pos;
            if (closing)
                return;
        }
        memmove(in, in + used, have - used);
        have -= used;
    }
}

int main(void) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t addrlen = sizeof(addr);
    if (bind(listener, (struct sockaddr *)&addr, sizeof(addr)) != 0 || listen(listener, 16) != 0 ||
        getsockname(listener, (struct sockaddr *)&addr, &addrlen) != 0) {
        perror("ws_echo");
        return 1;
    }
    printf("%d\n", ntohs(addr.sin_port));
    fflush(stdout);
    for (;;) {
        int fd = accept(listener, NULL, NULL);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        if (handshake(fd) == 0)
            echo(fd);
        close(fd);
    }
}
