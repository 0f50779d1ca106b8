"""The longest pause a ticking Python thread sees while one thread scales a large image and
another calls dup() on it (waiting for the image), against dup() of an unrelated image.

Usage: python3 gil_stall.py [ROUNDS]. A thread that waits for an image must not hold the GIL,
so both pauses should be about the same few milliseconds."""
import sys
import threading
import time

import tessera


def longest_gap(same_image, rounds):
    big = tessera.Image(4096, 4096, "rgb")
    other = tessera.Image(4096, 4096, "rgb")
    stop = threading.Event()
    gaps = []

    def ticker():
        last = time.perf_counter()
        worst = 0.0
        while not stop.is_set():
            time.sleep(0.0005)
            now = time.perf_counter()
            worst = max(worst, now - last)
            last = now
        gaps.append(worst)

    def scaler():
        for _ in range(rounds):
            big.scale(6000, 6000)

    def duplicator():
        target = big if same_image else other
        for _ in range(rounds * 4):
            target.dup()

    threads = [threading.Thread(target=f) for f in (scaler, duplicator)]
    tick = threading.Thread(target=ticker)
    tick.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    stop.set()
    tick.join()
    return gaps[0]


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    for k in range(3):
        same = longest_gap(True, rounds)
        unrelated = longest_gap(False, rounds)
        print(f"round {k + 1}: longest tick gap {same * 1000:.1f} ms with dup() waiting for the scaled image, "
              f"{unrelated * 1000:.1f} ms with dup() of another image")


if __name__ == "__main__":
    main()
