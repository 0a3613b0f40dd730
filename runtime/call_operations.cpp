#include "call_operations.hpp"

#include "exception_matching.hpp"
#include "function_object.hpp"
#include "runtime_state.hpp"

namespace kovi {

PyObject *call_c_function_direct(PyObject *function, PyObject *arg)
{
    PyCFunctionObject *f = reinterpret_cast<PyCFunctionObject *>(function);
    PyCFunction meth = f->m_ml->ml_meth;
    PyObject *self = (f->m_ml->ml_flags & METH_STATIC) ? nullptr : f->m_self;
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject *result = meth(self, arg);
    Py_LeaveRecursiveCall();
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

PyObject *fast_call(PyObject *callable, PyObject *const *args, size_t nargsf)
{
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    PyTypeObject *type = Py_TYPE(callable);
    PyTypeObject *function_type = reinterpret_cast<PyTypeObject *>(runtime_state.function_type);

    // math.cos and its kind: straight into the C function.  A receiver-first
    // method of our own type takes its receiver from the arguments, which
    // only its vector call entry does; it goes there below.
    if (n == 1 && is_subtype_of_either(type, function_type, &PyCFunction_Type) &&
        (reinterpret_cast<PyCFunctionObject *>(callable)->m_ml->ml_flags & METH_O) &&
        !(is_subtype(type, function_type) && is_receiver_first(as_function(callable)))) {
        return call_c_function_direct(callable, args[0]);
    }

    vectorcallfunc entry = nullptr;
    if (type == function_type) {
        // Our own functions keep the entry at a known place in the object.
        entry = reinterpret_cast<PyCFunctionObject *>(callable)->vectorcall;
    }
    else {
        entry = PyVectorcall_Function(callable);
    }
    if (entry != nullptr) {
        return entry(callable, args, nargsf, nullptr);
    }
    return PyObject_VectorcallDict(callable, args, nargsf, nullptr);
}

}  // namespace kovi
