// The head of CPython 3.12's frame object, as far as the traceback entries
// need it.
//
// 3.12 keeps the frame's line field out of the public headers, and the
// internal ones cannot be included outside the interpreter's own build, so
// the layout is restated here.  It changes between minor versions: any other
// interpreter must be looked at again before this builds for it.
#ifndef KOVI_RUNTIME_FRAME_LAYOUT_HPP
#define KOVI_RUNTIME_FRAME_LAYOUT_HPP

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030D0000
#error "frame_layout.hpp restates the frame object of CPython 3.12 only"
#endif

namespace kovi {

// struct _frame of 3.12, up to the fields read or written here.
struct FrameLayout312 {
    PyObject_HEAD
    PyFrameObject *f_back;
    void *f_frame;           // struct _PyInterpreterFrame *
    PyObject *f_trace;
    int f_lineno;            // the frame's line when not zero
    char f_trace_lines;
    char f_trace_opcodes;
    char f_fast_as_locals;
};

inline void set_frame_lineno(PyFrameObject *frame, int line)
{
    reinterpret_cast<FrameLayout312 *>(frame)->f_lineno = line;
}

}  // namespace kovi

#endif
