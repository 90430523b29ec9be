"""The baseline: Python's poplib logs in, asks STAT and TOP n 0 for every message.

Prints the seconds the dialogue took, the interpreter's start-up left out."""
import poplib
import sys
import time


def main():
    port = int(sys.argv[1])
    start = time.perf_counter()
    pop = poplib.POP3("127.0.0.1", port, timeout=60)
    pop.user(sys.argv[2])
    pop.pass_(sys.argv[3])
    count, _ = pop.stat()
    for n in range(1, count + 1):
        pop.top(n, 0)
    pop.quit()
    print(f"{time.perf_counter() - start:.6f} {count}")


main()
