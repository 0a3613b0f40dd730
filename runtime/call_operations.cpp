#include "call_operations.hpp"

namespace kovi {

PyObject *fast_call(PyObject *callable, PyObject *const *args, size_t nargsf)
{
    return PyObject_Vectorcall(callable, args, nargsf, nullptr);
}

}  // namespace kovi
