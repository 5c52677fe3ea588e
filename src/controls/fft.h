#pragma once

#include <complex>
#include <span>

/// Forward discrete Fourier transform of 256 complex points, in place, unscaled, with
/// the bins in natural order. Radix 2; the twiddle factors come from a table built once,
/// so a call allocates nothing. Any thread (the table is built thread-safely on first use).
void forwardFft256(std::span<std::complex<float>, 256> points);
