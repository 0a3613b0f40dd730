// The 6x6 symmetric positive definite solve that the closed forms' Newton
// refinement and the general search's Newton steps share.
#ifndef KOVI_SOLVERS_CHOLESKY6_HPP
#define KOVI_SOLVERS_CHOLESKY6_HPP

#include <cmath>

namespace kovi::solvers {

// Solves A x = b in place by Cholesky (A's lower triangle becomes the
// factor, b the solution); false where A is not positive definite.
inline bool cholesky_solve6(double A[6][6], double b[6]) noexcept
{
    for (int j = 0; j < 6; j++) {
        double d = A[j][j];
        for (int k = 0; k < j; k++) {
            d -= A[j][k] * A[j][k];
        }
        if (!(d > 0.0)) {
            return false;
        }
        A[j][j] = std::sqrt(d);
        for (int i = j + 1; i < 6; i++) {
            double v = A[i][j];
            for (int k = 0; k < j; k++) {
                v -= A[i][k] * A[j][k];
            }
            A[i][j] = v / A[j][j];
        }
    }
    for (int i = 0; i < 6; i++) {
        for (int k = 0; k < i; k++) {
            b[i] -= A[i][k] * b[k];
        }
        b[i] /= A[i][i];
    }
    for (int i = 5; i >= 0; i--) {
        for (int k = i + 1; k < 6; k++) {
            b[i] -= A[k][i] * b[k];
        }
        b[i] /= A[i][i];
    }
    return true;
}

}  // namespace kovi::solvers

#endif
