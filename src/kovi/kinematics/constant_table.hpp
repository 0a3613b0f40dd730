// The module's constant strings: every attribute, parameter, local and
// module name it uses, made once at module execution from one compressed
// stream that also holds the location table of the function's code.
//
// The enumeration below is the table: one entry per string, in table order,
// each with its text in the comment.  The build reads the texts from these
// comments (tools/gen_constant_table.py), so the names and the data cannot
// drift apart.  Two groups, each sorted by UTF-8 byte order: the four texts
// that are not names (made as plain strings), then the names (interned).
#ifndef KOVI_KINEMATICS_CONSTANT_TABLE_HPP
#define KOVI_KINEMATICS_CONSTANT_TABLE_HPP

#include <Python.h>

namespace kovi {

enum StringIndex : int {
    str_dot,                    // "."
    str_question_mark,          // "?"
    str_q_annotation,           // "NDArray[np.float64]"
    str_source_path,            // "src/kovi/kinematics/poe_fk.py"
    str_KinBody,                // "KinBody"
    str_NDArray,                // "NDArray"
    str_T_left,                 // "T_left"
    str_T_right,                // "T_right"
    str___Kvi_PyDict_NextRef,   // "__Kvi_PyDict_NextRef"
    str___all__,                // "__all__"
    str___annotate__,           // "__annotate__"
    str___class_getitem__,      // "__class_getitem__"
    str___func__,               // "__func__"
    str___main__,               // "__main__"
    str___module__,             // "__module__"
    str___name__,               // "__name__"
    str___qualname__,           // "__qualname__"
    str___test__,               // "__test__"
    str__is_coroutine,          // "_is_coroutine"
    str_a00,                    // "a00"
    str_a01,                    // "a01"
    str_a02,                    // "a02"
    str_a03,                    // "a03"
    str_a10,                    // "a10"
    str_a11,                    // "a11"
    str_a12,                    // "a12"
    str_a13,                    // "a13"
    str_a20,                    // "a20"
    str_a21,                    // "a21"
    str_a22,                    // "a22"
    str_a23,                    // "a23"
    str_array,                  // "array"
    str_asyncio_coroutines,     // "asyncio.coroutines"
    str_ax,                     // "ax"
    str_axis,                   // "axis"
    str_ay,                     // "ay"
    str_az,                     // "az"
    str_b00,                    // "b00"
    str_b01,                    // "b01"
    str_b02,                    // "b02"
    str_b03,                    // "b03"
    str_b10,                    // "b10"
    str_b11,                    // "b11"
    str_b12,                    // "b12"
    str_b13,                    // "b13"
    str_b20,                    // "b20"
    str_b21,                    // "b21"
    str_b22,                    // "b22"
    str_b23,                    // "b23"
    str_c,                      // "c"
    str_cline_in_traceback,     // "cline_in_traceback"
    str_cos,                    // "cos"
    str_dtype,                  // "dtype"
    str_float64,                // "float64"
    str_i,                      // "i"
    str_items,                  // "items"
    str_joint_type,             // "joint_type"
    str_joints,                 // "joints"
    str_kb,                     // "kb"
    str_kovi__kinbody,          // "kovi._kinbody"
    str_kovi_kinematics_poe_fk, // "kovi.kinematics.poe_fk"
    str_l00,                    // "l00"
    str_l01,                    // "l01"
    str_l02,                    // "l02"
    str_l03,                    // "l03"
    str_l10,                    // "l10"
    str_l11,                    // "l11"
    str_l12,                    // "l12"
    str_l13,                    // "l13"
    str_l20,                    // "l20"
    str_l21,                    // "l21"
    str_l22,                    // "l22"
    str_l23,                    // "l23"
    str_m00,                    // "m00"
    str_m01,                    // "m01"
    str_m02,                    // "m02"
    str_m03,                    // "m03"
    str_m10,                    // "m10"
    str_m11,                    // "m11"
    str_m12,                    // "m12"
    str_m13,                    // "m13"
    str_m20,                    // "m20"
    str_m21,                    // "m21"
    str_m22,                    // "m22"
    str_m23,                    // "m23"
    str_math,                   // "math"
    str_n,                      // "n"
    str_n00,                    // "n00"
    str_n01,                    // "n01"
    str_n02,                    // "n02"
    str_n03,                    // "n03"
    str_n10,                    // "n10"
    str_n11,                    // "n11"
    str_n12,                    // "n12"
    str_n13,                    // "n13"
    str_n20,                    // "n20"
    str_n21,                    // "n21"
    str_n22,                    // "n22"
    str_n23,                    // "n23"
    str_np,                     // "np"
    str_numpy,                  // "numpy"
    str_numpy_typing,           // "numpy.typing"
    str_oc,                     // "oc"
    str_poe_forward_kinematics, // "poe_forward_kinematics"
    str_pop,                    // "pop"
    str_prismatic,              // "prismatic"
    str_q,                      // "q"
    str_qi,                     // "qi"
    str_r00,                    // "r00"
    str_r01,                    // "r01"
    str_r02,                    // "r02"
    str_r10,                    // "r10"
    str_r11,                    // "r11"
    str_r12,                    // "r12"
    str_r20,                    // "r20"
    str_r21,                    // "r21"
    str_r22,                    // "r22"
    str_s,                      // "s"
    str_setdefault,             // "setdefault"
    str_sin,                    // "sin"
    str_t00,                    // "t00"
    str_t01,                    // "t01"
    str_t02,                    // "t02"
    str_t03,                    // "t03"
    str_t10,                    // "t10"
    str_t11,                    // "t11"
    str_t12,                    // "t12"
    str_t13,                    // "t13"
    str_t20,                    // "t20"
    str_t21,                    // "t21"
    str_t22,                    // "t22"
    str_t23,                    // "t23"
    str_values,                 // "values"
    string_count
};

// Entries below this index are not interned.
constexpr int first_interned_string = str_KinBody;

// Decodes the module's stored string data: fills `strings` (string_count
// new references) and `line_table` (the location table of the function's
// code object).  Returns 0, or -1 with an exception set; strings made
// before a failure stay in place.
int decode_constant_table(PyObject **strings, PyObject **line_table);

// The same for any stream of `size` bytes, all of which must be consumed:
// a stream that does not decode to the table's layout within its bounds
// fails with RuntimeError and makes no string.
int decode_string_data(const unsigned char *stream, Py_ssize_t size, PyObject **strings,
                       PyObject **line_table);

}  // namespace kovi

#endif
