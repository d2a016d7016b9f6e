"""Writes kernels/sine_table.hpp: sin and cos at j/64, j = 0 .. 805.

    python tools/sine_table.py > kernels/sine_table.hpp

Standard library only: the values come from the Taylor series in 70-digit
decimal arithmetic, so the table does not depend on any C library's sine.
Each entry is {sin_hi, sin_lo, cos_hi, cos_lo}: sin_hi is sin(j/64) rounded
to the nearest double and sin_lo the rest rounded to the nearest double;
cos_hi is cos(j/64) rounded to 26 significant bits (so that its product
with a 27-bit number is exact) and cos_lo the rest, rounded to a double.
"""

import math
from decimal import Decimal, getcontext

getcontext().prec = 70
COUNT = 806  # covers |x| <= 805.5 / 64 > 4 pi


def sincos(x):
    s, c = Decimal(0), Decimal(0)
    st, ct, k = x, Decimal(1), 0
    x2 = x * x
    while k < 200:
        s += st
        c += ct
        st = -st * x2 / ((2 * k + 2) * (2 * k + 3))
        ct = -ct * x2 / ((2 * k + 1) * (2 * k + 2))
        k += 1
        if abs(st) < Decimal(10) ** -68 and abs(ct) < Decimal(10) ** -68:
            break
    return s, c


def round_bits(d, bits):
    """d rounded to `bits` significant bits (to nearest, ties to even)."""
    if d == 0:
        return 0.0
    e = math.frexp(float(d))[1]
    m = (d * Decimal(2) ** (bits - e)).to_integral_value()
    return math.ldexp(float(m), e - bits)  # exact: |m| < 2^(bits + 1)


def main():
    print("// sin and cos at j/64 for j = 0 .. %d; written by tools/sine_table.py." % (COUNT - 1))
    print("// {sin_hi, sin_lo, cos_hi (26 significant bits), cos_lo}: see exact_sine.hpp.")
    print("#pragma once\n")
    print("namespace tessaro::kernels::sine_table {\n")
    print("inline constexpr int kCount = %d;\n" % COUNT)
    print("struct alignas(32) Entry {\n  double sin_hi, sin_lo, cos_hi, cos_lo;\n};\n")
    print("inline constexpr Entry kEntries[kCount] = {")
    for j in range(COUNT):
        s, c = sincos(Decimal(j) / 64)
        sh = float(s)
        sl = float(s - Decimal(sh))
        ch = round_bits(c, 26)
        cl = float(c - Decimal(ch))
        assert abs(Decimal(sh) + Decimal(sl) - s) < Decimal(2) ** -106
        assert abs(Decimal(ch) + Decimal(cl) - c) < Decimal(2) ** -80
        print("    {%s, %s, %s, %s}," % tuple(v.hex() for v in (sh, sl, ch, cl)))
    print("};\n")
    print("}  // namespace tessaro::kernels::sine_table")


if __name__ == "__main__":
    main()
