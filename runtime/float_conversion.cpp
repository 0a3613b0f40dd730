#include "float_conversion.hpp"

#include "owned_ref.hpp"

namespace kovi {

double object_as_double(PyObject *obj)
{
    OwnedRef value(PyNumber_Float(obj));
    if (!value) {
        return -1.0;
    }
    return PyFloat_AS_DOUBLE(value.get());
}

}  // namespace kovi
