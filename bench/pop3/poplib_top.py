"""The baselines: log in, ask STAT and TOP n 0 for every message, then QUIT.

Arguments: port, user, password, and "tls" (or "plain"), then "poplib" (the default) or
"pipelined". poplib asks one command at a time; the pipelined client, written on raw
sockets, keeps up to 64 TOP commands ahead of their replies, as RFC 2449 allows. With
"tls" both use TLS from the first byte, the certificate verified against OpenSSL's
default store, which SSL_CERT_FILE sets. Prints the seconds the dialogue took, the
interpreter's start-up left out, and the count of headers fetched."""
import poplib
import socket
import ssl
import sys
import time

WINDOW = 64


def with_poplib(port, user, password, tls):
    if tls:
        pop = poplib.POP3_SSL("127.0.0.1", port, timeout=60,
                              context=ssl.create_default_context())
    else:
        pop = poplib.POP3("127.0.0.1", port, timeout=60)
    pop.user(user)
    pop.pass_(password)
    count, _ = pop.stat()
    fetched = 0
    for n in range(1, count + 1):
        pop.top(n, 0)
        fetched += 1
    pop.quit()
    return fetched


class Replies:
    """Reads replies in order from bytes that may hold several of them."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = bytearray()

    def until(self, terminator):
        start = 0
        while True:
            found = self.buffer.find(terminator, start)
            if found >= 0:
                reply = bytes(self.buffer[:found])
                del self.buffer[:found + len(terminator)]
                return reply
            start = max(0, len(self.buffer) - len(terminator) + 1)
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("the server closed the connection")
            self.buffer += chunk

    def line(self):
        reply = self.until(b"\r\n")
        if not reply.startswith(b"+OK"):
            raise ConnectionError(reply.decode(errors="replace"))
        return reply

    def multiline(self):
        while len(self.buffer) < 4:
            self.buffer += self.sock.recv(65536)
        if self.buffer.startswith(b"-ERR"):
            self.until(b"\r\n")
            return None
        return self.until(b"\r\n.\r\n")


def pipelined(port, user, password, tls):
    sock = socket.create_connection(("127.0.0.1", port), timeout=60)
    if tls:
        sock = ssl.create_default_context().wrap_socket(sock, server_hostname="127.0.0.1")
    replies = Replies(sock)
    replies.line()
    for command in (b"USER " + user.encode(), b"PASS " + password.encode()):
        sock.sendall(command + b"\r\n")
        replies.line()
    sock.sendall(b"STAT\r\n")
    count = int(replies.line().split()[1])
    sent = 0
    fetched = 0
    for answered in range(count):
        if sent < count and sent - answered <= WINDOW // 2:
            upto = min(count, answered + WINDOW)
            sock.sendall(b"".join(b"TOP %d 0\r\n" % n for n in range(sent + 1, upto + 1)))
            sent = upto
        if replies.multiline() is not None:
            fetched += 1
    sock.sendall(b"QUIT\r\n")
    replies.line()
    sock.close()
    return fetched


def main():
    port = int(sys.argv[1])
    tls = len(sys.argv) > 4 and sys.argv[4] == "tls"
    client = pipelined if len(sys.argv) > 5 and sys.argv[5] == "pipelined" else with_poplib
    start = time.perf_counter()
    fetched = client(port, sys.argv[2], sys.argv[3], tls)
    print(f"{time.perf_counter() - start:.6f} {fetched}")


main()
