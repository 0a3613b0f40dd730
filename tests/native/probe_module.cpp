// The probe module: fills its own runtime state the way the real module's
// execution does, then publishes the functions of every probe table.
#include <Python.h>

#include "function_object.hpp"
#include "owned_ref.hpp"
#include "probe_tables.hpp"
#include "runtime_state.hpp"
#include "shared_type_registry.hpp"

namespace {

// Each probe file contributes one table; the list ends with null.
PyMethodDef *const method_tables[] = {
    probe_argument_binding_methods,
    probe_traceback_methods,
    probe_object_access_methods,
    probe_float_conversion_methods,
    probe_call_operations_methods,
    probe_constant_table_methods,
    probe_imports_methods,
    probe_function_object_methods,
    probe_fast_paths_methods,
    probe_subproblems_methods,
    nullptr,
};

PyModuleDef probe_definition = {
    PyModuleDef_HEAD_INIT, "_kovi_probe", "Test-only access to kovi's runtime internals.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

int fill_runtime_state(PyObject *module)
{
    kovi::RuntimeState &rt = kovi::runtime_state;
    rt.module_dict = Py_XNewRef(PyModule_GetDict(module));
    rt.builtins_module = Py_XNewRef(PyImport_AddModule("builtins"));
    rt.empty_tuple = PyTuple_New(0);
    rt.str_dot = PyUnicode_FromString(".");
    rt.str_class_getitem = PyUnicode_InternFromString("__class_getitem__");
    rt.str_annotate = PyUnicode_InternFromString("__annotate__");
    if (!rt.module_dict || !rt.builtins_module || !rt.empty_tuple || !rt.str_dot ||
        !rt.str_class_getitem || !rt.str_annotate) {
        return -1;
    }
    // The probe publishes and uses the same shared types as the module.
    kovi::OwnedRef bases(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyType_Type)));
    if (!bases) {
        return -1;
    }
    rt.common_metatype = kovi::fetch_shared_type(nullptr, &kovi::common_metatype_spec, bases.get());
    if (rt.common_metatype == nullptr) {
        return -1;
    }
    rt.function_type = kovi::fetch_shared_type(reinterpret_cast<PyTypeObject *>(rt.common_metatype),
                                               &kovi::function_type_spec, nullptr);
    if (rt.function_type == nullptr) {
        return -1;
    }
    // Frames of traceback entries find their builtins here.
    return PyObject_SetAttrString(module, "__builtins__", rt.builtins_module);
}

}  // namespace

PyMODINIT_FUNC PyInit__kovi_probe(void)
{
    kovi::OwnedRef module(PyModule_Create(&probe_definition));
    if (!module || fill_runtime_state(module.get()) < 0) {
        return nullptr;
    }
    for (PyMethodDef *const *table = method_tables; *table != nullptr; table++) {
        if (PyModule_AddFunctions(module.get(), *table) < 0) {
            return nullptr;
        }
    }
    return module.release();
}
