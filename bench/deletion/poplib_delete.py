"""The baseline: RETR and DELE each given message number, then QUIT, with poplib.

Arguments: port, user, password, then the message numbers. Prints the seconds the
dialogue took, the interpreter's start-up left out, and the count of messages deleted."""
import poplib
import sys
import time


def main():
    port, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    numbers = [int(n) for n in sys.argv[4:]]
    start = time.perf_counter()
    pop = poplib.POP3("127.0.0.1", port, timeout=60)
    pop.user(user)
    pop.pass_(password)
    for n in numbers:
        pop.retr(n)
    for n in numbers:
        pop.dele(n)
    pop.quit()
    print(f"{time.perf_counter() - start:.6f} {len(numbers)}")


main()
