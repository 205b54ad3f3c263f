"""Prints the music measure's quarter-wave table q[j] = cos(2 pi j / 256), j = 0..64,
as C++ hex double literals, correctly rounded: each cosine is summed as a Taylor
series in 60-digit decimals and converted once (libm cosines differ in the last bit
between platforms, so the table is checked in, not computed at build time).

    python tools/music_tables.py > table.txt   # the body of kMusicQuarterWave
"""

from __future__ import annotations

from decimal import Decimal, getcontext

getcontext().prec = 60


def pi() -> Decimal:
    """Pi to the context's precision (Machin: 16 atan(1/5) - 4 atan(1/239))."""

    def atan_inv(n: int) -> Decimal:
        x, term, total, k = Decimal(1) / n, Decimal(1) / n, Decimal(0), 0
        while term != 0:
            total += term if k % 2 == 0 else -term
            k += 1
            term = x ** (2 * k + 1) / (2 * k + 1)
        return total

    return 16 * atan_inv(5) - 4 * atan_inv(239)


def cos(x: Decimal) -> Decimal:
    total, term, k = Decimal(0), Decimal(1), 0
    while abs(term) > Decimal(10) ** -58:
        total += term
        k += 1
        term = -term * x * x / ((2 * k - 1) * (2 * k))
    return total


def main() -> None:
    p = pi()
    values = [float(cos(2 * p * j / 256)) for j in range(65)]
    values[64] = 0.0  # cos(pi / 2) exactly
    for row in range(0, 65, 3):
        print("    " + " ".join(f"{v.hex()}," for v in values[row : row + 3]))


if __name__ == "__main__":
    main()
