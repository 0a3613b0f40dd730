// The cosine and sine that the interpreter's math.cos and math.sin return
// for a finite argument: the C library's own cos and sin, called apart.
#ifndef KOVI_KINEMATICS_LIBM_TRIG_HPP
#define KOVI_KINEMATICS_LIBM_TRIG_HPP

namespace kovi {

// c = cos(x), s = sin(x), each by its own C library call.
void libm_cos_sin(double x, double &c, double &s);

}  // namespace kovi

#endif
