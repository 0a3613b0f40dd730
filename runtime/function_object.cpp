#include "function_object.hpp"

namespace kovi {

// Until the module's own function type carries its functions, they are
// built-in functions; the type is published so the registry is in place.
static PyType_Slot function_type_slots[] = {
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "_kovi_rt_1_0_0.kovi_function_or_method",
    160,
    0,
    Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_type_slots,
};

PyObject *new_function_object(PyMethodDef *ml, int /*flags*/, PyObject * /*qualname*/,
                              PyObject * /*closure*/, PyObject *module,
                              PyObject * /*globals*/, PyObject * /*code*/)
{
    return PyCMethod_New(ml, nullptr, module, nullptr);
}

void attach_function_annotations(PyObject * /*func*/, PyObject *annotations)
{
    Py_DECREF(annotations);
}

}  // namespace kovi
