"""The baseline: Python's poplib logs in, asks STAT and TOP n 0 for every message.

Arguments: port, user, password, and "tls" for POP3_SSL (the certificate verified
against OpenSSL's default store, which SSL_CERT_FILE sets). Prints the seconds the
dialogue took, the interpreter's start-up left out."""
import poplib
import ssl
import sys
import time


def main():
    port = int(sys.argv[1])
    tls = len(sys.argv) > 4 and sys.argv[4] == "tls"
    start = time.perf_counter()
    if tls:
        pop = poplib.POP3_SSL("127.0.0.1", port, timeout=60,
                              context=ssl.create_default_context())
    else:
        pop = poplib.POP3("127.0.0.1", port, timeout=60)
    pop.user(sys.argv[2])
    pop.pass_(sys.argv[3])
    count, _ = pop.stat()
    for n in range(1, count + 1):
        pop.top(n, 0)
    pop.quit()
    print(f"{time.perf_counter() - start:.6f} {count}")


main()
