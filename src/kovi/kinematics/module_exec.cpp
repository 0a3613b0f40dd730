// Module execution: fills the module state, makes the function's code and
// function objects, runs the module's imports and binds its names.
//
// Straight-line code: each step either succeeds or goes to the one failure
// exit.  Once the module state holds its constants, a failure adds a
// traceback entry for the line of the module's source that the step stands
// for.
#include "module_exec.hpp"

#include <iterator>

#include <opcode.h>

#include "cpython_internal.hpp"
#include "function_object.hpp"
#include "imports.hpp"
#include "module_state.hpp"
#include "owned_ref.hpp"
#include "poe_forward_kinematics_entry.hpp"
#include "runtime_state.hpp"
#include "shared_type_registry.hpp"
#include "source_lines.hpp"
#include "traceback.hpp"

namespace kovi {

namespace {

const char exec_function_name[] = "init kovi.kinematics.poe_fk";
const char module_full_name[] = "kovi.kinematics.poe_fk";

// Stores a new reference (or null) into an owned field; whether a value was
// stored.
bool store(PyObject *&field, PyObject *value)
{
    store_owned(field, value);
    return value != nullptr;
}

// The names of the function's 92 locals: kb, q, n, i, ax, ay, az, qi, c, s,
// oc, the rotation r00 .. r22, then rows 0-2 of the blocks l, m, t, n, a, b.
PyObject *make_variable_names()
{
    static const StringIndex scalars[] = {
        str_kb, str_q, str_n, str_i, str_ax, str_ay, str_az, str_qi, str_c, str_s, str_oc,
        str_r00, str_r01, str_r02, str_r10, str_r11, str_r12, str_r20, str_r21, str_r22,
    };
    static const StringIndex blocks[] = {str_l00, str_m00, str_t00, str_n00, str_a00, str_b00};
    const Py_ssize_t count = std::size(scalars) + 12 * std::size(blocks);
    PyObject *names = PyTuple_New(count);
    if (names == nullptr) {
        return nullptr;
    }
    Py_ssize_t k = 0;
    for (StringIndex index : scalars) {
        PyTuple_SET_ITEM(names, k++, Py_NewRef(constant_string(index)));
    }
    // The twelve names of a block follow each other in the table.
    for (StringIndex first : blocks) {
        for (int e = 0; e < 12; e++) {
            PyTuple_SET_ITEM(names, k++, Py_NewRef(constant_string(StringIndex(first + e))));
        }
    }
    return names;
}

// What running the code object itself raises: the function's body is native
// and has no bytecode.
const char native_code_message[] =
    "poe_forward_kinematics is native code: its code object describes it and cannot be run";

// The instructions of the function's code object.  The interpreter runs
// them only when made to run the code object itself (a function made from
// it with types.FunctionType, say), and a tracer, a monitoring tool or dis
// may instrument or read them at any time, so they are real 3.12 bytecode:
//
//     RESUME 0; PUSH_NULL; LOAD_ASSERTION_ERROR; LOAD_CONST 0 (the message);
//     CALL 1 and its inline cache units; RAISE_VARARGS 1
//
// that is, raise AssertionError(native_code_message), followed by NOPs that
// nothing reaches, so that the code keeps the length its location table
// was made for.  RESUME at the first unit makes that unit the first one
// traced.  Returns the new bytes object, or null with an exception set.
PyObject *make_instructions(Py_ssize_t size)
{
    const unsigned char raising[][2] = {
        {RESUME, 0}, {PUSH_NULL, 0}, {LOAD_ASSERTION_ERROR, 0}, {LOAD_CONST, 0}, {CALL, 1},
    };
    constexpr Py_ssize_t raising_units = std::size(raising) + cpython::call_cache_units + 1;
    if (size < 2 * raising_units) {
        PyErr_SetString(PyExc_SystemError, "location table too short for the code object");
        return nullptr;
    }
    PyObject *code = PyBytes_FromStringAndSize(nullptr, size);
    if (code == nullptr) {
        return nullptr;
    }
    unsigned char *unit = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(code));
    unsigned char *end = unit + size;
    for (const auto &instruction : raising) {
        *unit++ = instruction[0];
        *unit++ = instruction[1];
    }
    // The cache units start zeroed; the interpreter fills them when it
    // makes the code object.
    for (int k = 0; k < cpython::call_cache_units; k++) {
        *unit++ = CACHE;
        *unit++ = 0;
    }
    *unit++ = RAISE_VARARGS;
    *unit++ = 1;
    while (unit < end) {
        *unit++ = NOP;
        *unit++ = 0;
    }
    return code;
}

// The code object of poe_forward_kinematics: its name, file, first line and
// locals, and a location table into the module's source.
PyObject *make_function_code()
{
    OwnedRef shared_names(PyDict_New());
    if (!shared_names) {
        return nullptr;
    }
    OwnedRef names(make_variable_names());
    if (!names) {
        return nullptr;
    }
    // Equal name tuples are shared between code objects.
    PyObject *varnames = PyDict_SetDefault(shared_names.get(), names.get(), names.get());
    if (varnames == nullptr) {
        return nullptr;
    }
    OwnedRef code(make_instructions((2 * PyBytes_GET_SIZE(module_state.line_table) + 4) / 4 * 4));
    if (!code) {
        return nullptr;
    }
    OwnedRef message(PyUnicode_FromString(native_code_message));
    OwnedRef consts(message ? PyTuple_Pack(1, message.get()) : nullptr);
    if (!consts) {
        return nullptr;
    }
    // The deepest stack of the instructions: the null, the class, the message.
    constexpr int stack_size = 3;
    PyObject *empty_tuple = runtime_state.empty_tuple;
    PyObject *name = constant_string(str_poe_forward_kinematics);
    return reinterpret_cast<PyObject *>(PyUnstable_Code_NewWithPosOnlyArgs(
        2, 0, 0, 92, stack_size, CO_OPTIMIZED | CO_NEWLOCALS, code.get(), consts.get(),
        empty_tuple, varnames, empty_tuple, empty_tuple, constant_string(str_source_path), name,
        name, line_def, module_state.line_table, module_state.empty_bytes));
}

// Binds `value` (a new reference, released here) under a constant name.
bool bind(StringIndex name, PyObject *value)
{
    OwnedRef held(value);
    return held && PyDict_SetItem(runtime_state.module_dict, constant_string(name), held.get()) == 0;
}

bool import_and_bind(StringIndex module_name, StringIndex bound_name)
{
    return bind(bound_name, import_module(constant_string(module_name), nullptr, 0));
}

bool import_from_and_bind(StringIndex module_name, StringIndex name)
{
    PyObject *names[1] = {constant_string(name)};
    OwnedRef module(import_module(constant_string(module_name), names, 1));
    return module && bind(name, import_from(module.get(), names[0]));
}

// Warns when the running interpreter is not the 3.12 the module was built
// for; false when the warning was turned into an error.
bool warn_on_version_mismatch()
{
    int major = (Py_Version >> 24) & 0xFF;
    int minor = (Py_Version >> 16) & 0xFF;
    if (major == 3 && minor == 12) {
        return true;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 12, module_full_name, "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1) >= 0;
}

// The constant objects: the empty tuple, bytes and str, the constant
// strings and the location table (each hashed now, so that lookups with
// them never compute a hash), and the float and int constants.
bool make_constants()
{
    ModuleState &st = module_state;
    RuntimeState &rt = runtime_state;
    static const char no_chars[1] = {0};
    if (!store(rt.empty_tuple, PyTuple_New(0)) ||
        !store(st.empty_bytes, PyBytes_FromStringAndSize(no_chars, 0)) ||
        !store(st.empty_str, PyUnicode_FromStringAndSize(no_chars, 0))) {
        return false;
    }
    if (decode_constant_table(st.strings, &st.line_table) < 0) {
        return false;
    }
    rt.str_dot = constant_string(str_dot);
    rt.str_class_getitem = constant_string(str___class_getitem__);
    rt.str_annotate = constant_string(str___annotate__);
    for (PyObject *s : st.strings) {
        if (PyObject_Hash(s) == -1) {
            return false;
        }
    }
    if (PyObject_Hash(st.line_table) == -1) {
        return false;
    }
    if (!store(st.float_consts[0], PyFloat_FromDouble(0.0)) ||
        !store(st.float_consts[1], PyFloat_FromDouble(1.0))) {
        return false;
    }
    for (int k = 0; k < 4; k++) {
        if (!store(st.int_consts[k], PyLong_FromLong(k))) {
            return false;
        }
    }
    return true;
}

// The module state up to its constants.  A failure here adds no traceback
// entry: the entries' frames need what is made here.
bool fill_module_state(PyObject *module)
{
    ModuleState &st = module_state;
    RuntimeState &rt = runtime_state;
    if (!store(rt.module_dict, Py_XNewRef(PyModule_GetDict(module))) ||
        !store(rt.builtins_module, Py_XNewRef(PyImport_AddModule("builtins"))) ||
        !store(st.runtime_module, Py_XNewRef(PyImport_AddModule("kovi_runtime")))) {
        return false;
    }
    // Frames of traceback entries find their builtins here.
    return PyObject_SetAttrString(module, "__builtins__", rt.builtins_module) >= 0 &&
           warn_on_version_mismatch() && make_constants();
}

// What the function needs besides its names: the shared metatype, the
// module's entry in sys.modules, the index tuples and the dtype keyword
// names of a call, the code object and the shared function type.  A
// failure is reported at the module's first line.
bool make_function_support(PyObject *module)
{
    ModuleState &st = module_state;
    RuntimeState &rt = runtime_state;
    {
        OwnedRef bases(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyType_Type)));
        store(rt.common_metatype,
              bases ? fetch_shared_type(nullptr, &common_metatype_spec, bases.get()) : nullptr);
    }
    if (PyErr_Occurred()) {
        return false;
    }
    PyObject *sys_modules = PyImport_GetModuleDict();
    if (sys_modules == nullptr) {
        return false;
    }
    if (PyDict_GetItemString(sys_modules, module_full_name) == nullptr &&
        PyDict_SetItemString(sys_modules, module_full_name, module) < 0) {
        return false;
    }
    for (int k = 0; k < 12; k++) {
        PyObject *index = PyTuple_New(2);
        if (!store(st.index_tuples[k], index)) {
            return false;
        }
        PyTuple_SET_ITEM(index, 0, Py_NewRef(st.int_consts[k / 4]));
        PyTuple_SET_ITEM(index, 1, Py_NewRef(st.int_consts[k % 4]));
    }
    PyObject *kwnames = PyTuple_New(1);
    if (!store(st.dtype_kwnames, kwnames)) {
        return false;
    }
    PyTuple_SET_ITEM(kwnames, 0, Py_NewRef(constant_string(str_dtype)));
    return store(st.function_code, make_function_code()) &&
           store(rt.function_type,
                 fetch_shared_type(reinterpret_cast<PyTypeObject *>(rt.common_metatype),
                                   &function_type_spec, nullptr));
}

// def poe_forward_kinematics(kb: "KinBody", q: "NDArray[np.float64]"): the
// function object with its annotations, bound in the module.
bool define_function()
{
    // The annotations stay text; they are never evaluated.
    OwnedRef annotations(PyDict_New());
    if (!annotations ||
        PyDict_SetItem(annotations.get(), constant_string(str_kb), constant_string(str_KinBody)) < 0 ||
        PyDict_SetItem(annotations.get(), constant_string(str_q), constant_string(str_q_annotation)) < 0) {
        return false;
    }
    OwnedRef function(new_function_object(&poe_forward_kinematics_method, 0,
                                          constant_string(str_poe_forward_kinematics), nullptr,
                                          constant_string(str_kovi_kinematics_poe_fk),
                                          runtime_state.module_dict, module_state.function_code));
    if (!function) {
        return false;
    }
    attach_function_annotations(function.get(), annotations.release());
    return bind(str_poe_forward_kinematics, function.release());
}

// The module's own statements, in their order, each reported at its line:
// the imports, __all__, the def, then __test__.
bool run_module_statements(int &line)
{
    line = line_import_math;
    if (!import_and_bind(str_math, str_math)) {
        return false;
    }
    line = line_import_numpy;
    if (!import_and_bind(str_numpy, str_np)) {
        return false;
    }
    line = line_import_ndarray;
    if (!import_from_and_bind(str_numpy_typing, str_NDArray)) {
        return false;
    }
    line = line_import_kinbody;
    if (!import_from_and_bind(str_kovi__kinbody, str_KinBody)) {
        return false;
    }
    line = line_all;
    PyObject *all = PyList_New(1);
    if (all != nullptr) {
        PyList_SET_ITEM(all, 0, Py_NewRef(constant_string(str_poe_forward_kinematics)));
    }
    if (!bind(str___all__, all)) {
        return false;
    }
    line = line_def;
    if (!define_function()) {
        return false;
    }
    line = line_module;
    return bind(str___test__, PyDict_New());
}

// Everything after the re-entry guard.  On failure `line` is the source
// line to report, or 0 when no traceback entry can be added.
int exec_steps(PyObject *module, int &line)
{
    line = 0;
    if (!fill_module_state(module)) {
        return -1;
    }
    line = line_module;
    if (PyErr_Occurred() || !make_function_support(module)) {
        return -1;
    }
    return run_module_statements(line) ? 0 : -1;
}

}  // namespace

int module_exec(PyObject *module)
{
    if (module_state.module != nullptr) {
        if (module_state.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'poe_fk' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    module_state.module = Py_NewRef(module);

    int line = 0;
    if (exec_steps(module, line) == 0) {
        return 0;
    }
    if (line != 0 && runtime_state.module_dict != nullptr) {
        add_traceback(exec_function_name, line, module_source_path);
    }
    Py_CLEAR(module_state.module);
    return -1;
}

}  // namespace kovi
