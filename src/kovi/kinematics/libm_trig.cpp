#include "libm_trig.hpp"

#include <math.h>

namespace kovi {

namespace {

// A compiler that sees cos(x) and sin(x) of one x may make them one sincos
// call, whose results the C library does not promise to be those of cos
// and sin.  Calls through pointers it cannot see through stay two calls of
// the very functions the math module calls.
double (*volatile const cos_function)(double) = ::cos;
double (*volatile const sin_function)(double) = ::sin;

}  // namespace

void libm_cos_sin(double x, double &c, double &s)
{
    c = cos_function(x);
    s = sin_function(x);
}

}  // namespace kovi
