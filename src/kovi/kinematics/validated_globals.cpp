#include "validated_globals.hpp"

#include <cstring>

#include "dict_scan.hpp"
#include "numpy_api.hpp"
#include "runtime_state.hpp"

namespace kovi {

ValidatedGlobals validated_globals = {-1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      Validity::invalid, Validity::invalid};

namespace {

// Called by the interpreter before a watched dict changes.  It only marks
// the validations that depend on that dict; it cannot fail.
int on_watched_dict_change(PyDict_WatchEvent, PyObject *dict, PyObject *, PyObject *)
{
    ValidatedGlobals &g = validated_globals;
    if (dict == runtime_state.module_dict) {
        g.math = Validity::unknown;
        g.numpy = Validity::unknown;
    }
    if (dict == g.math_dict) {
        g.math = Validity::unknown;
    }
    if (dict == g.numpy_dict) {
        g.numpy = Validity::unknown;
    }
    return 0;
}

// Whether `function` is the built-in one-argument function `name` of the
// interpreter's math module `module`.
bool is_math_builtin(PyObject *function, const char *name, PyObject *module)
{
    if (function == nullptr || !PyCFunction_CheckExact(function) ||
        PyCFunction_GET_SELF(function) != module) {
        return false;
    }
    const PyMethodDef *method = reinterpret_cast<PyCFunctionObject *>(function)->m_ml;
    const PyModuleDef *definition = PyModule_GetDef(module);
    return method->ml_flags == METH_O && std::strcmp(method->ml_name, name) == 0 &&
           definition != nullptr && definition->m_name != nullptr &&
           std::strcmp(definition->m_name, "math") == 0;
}

// The exact module bound under `name` in the module namespace, or null.
PyObject *bound_module(const char *name)
{
    PyObject *module = item_by_str_key(runtime_state.module_dict, name);
    return module != nullptr && PyModule_CheckExact(module) ? module : nullptr;
}

bool capture_math()
{
    ValidatedGlobals &g = validated_globals;
    PyObject *math = bound_module("math");
    if (math == nullptr) {
        return false;
    }
    PyObject *dict = PyModule_GetDict(math);
    static const char *const names[2] = {"cos", "sin"};
    PyObject *found[2];
    scan_str_keys(dict, names, found);
    if (!is_math_builtin(found[0], "cos", math) || !is_math_builtin(found[1], "sin", math)) {
        return false;
    }
    g.math_module = Py_NewRef(math);
    g.math_dict = Py_NewRef(dict);
    g.cos = Py_NewRef(found[0]);
    g.sin = Py_NewRef(found[1]);
    return true;
}

bool capture_numpy()
{
    ValidatedGlobals &g = validated_globals;
    PyObject *numpy = bound_module("np");
    if (numpy == nullptr || numpy_types.ndarray == nullptr) {
        return false;
    }
    g.numpy_module = Py_NewRef(numpy);
    g.numpy_dict = Py_NewRef(PyModule_GetDict(numpy));
    return true;
}

// Whether the module namespace binds `name` to `module` (as captured; null
// if it was not) and the module's `dict` holds `expected` under `names`,
// every key of both dicts an exact str, so that the lookups run no code.
bool binds_as_imported(const char *name, PyObject *module, PyObject *dict,
                       const char *const (&names)[2], const PyObject *const (&expected)[2])
{
    const char *const bound_names[1] = {name};
    PyObject *bound[1];
    if (module == nullptr || !scan_str_keys(runtime_state.module_dict, bound_names, bound) ||
        bound[0] != module) {
        return false;
    }
    PyObject *found[2];
    return scan_str_keys(dict, names, found) && found[0] == expected[0] && found[1] == expected[1];
}

}  // namespace

void setup_validated_globals()
{
    ValidatedGlobals &g = validated_globals;
    if (g.watcher >= 0) {
        return;
    }
    // Nothing here should raise; whatever does is cleared, and the state of
    // the error indicator is left as it was found.
    PyObject *pending = PyErr_GetRaisedException();
    // The element reads need numpy's API but no watcher.
    load_numpy_api();
    int watcher = PyDict_AddWatcher(on_watched_dict_change);
    if (watcher < 0) {
        // All of the interpreter's dict watchers are taken.
        PyErr_Clear();
    }
    else {
        g.watcher = watcher;
        bool math = capture_math();
        bool numpy = capture_numpy();
        if (PyDict_Watch(watcher, runtime_state.module_dict) < 0 ||
            (math && PyDict_Watch(watcher, g.math_dict) < 0) ||
            (numpy && PyDict_Watch(watcher, g.numpy_dict) < 0)) {
            PyErr_Clear();
            math = numpy = false;
        }
        g.math = math ? Validity::unknown : Validity::invalid;
        g.numpy = numpy ? Validity::unknown : Validity::invalid;
    }
    PyErr_SetRaisedException(pending);
}

bool validate_math()
{
    ValidatedGlobals &g = validated_globals;
    static const char *const names[2] = {"cos", "sin"};
    bool valid = binds_as_imported("math", g.math_module, g.math_dict, names, {g.cos, g.sin});
    g.math = valid ? Validity::valid : Validity::invalid;
    return valid;
}

bool validate_numpy()
{
    ValidatedGlobals &g = validated_globals;
    static const char *const names[2] = {"array", "float64"};
    bool valid = binds_as_imported("np", g.numpy_module, g.numpy_dict, names,
                                   {numpy_types.array, reinterpret_cast<PyObject *>(numpy_types.float64)});
    g.numpy = valid ? Validity::valid : Validity::invalid;
    return valid;
}

}  // namespace kovi
