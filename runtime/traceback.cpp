#include "traceback.hpp"

#include <frameobject.h>

#include "owned_ref.hpp"
#include "runtime_state.hpp"

namespace kovi {

void add_traceback(const char *function_name, int line, const char *file_name)
{
    PyThreadState *tstate = PyThreadState_Get();
    PyObject *pending = PyErr_GetRaisedException();
    if (pending == nullptr) {
        return;
    }
    // A code object whose first line is `line` makes the frame report it.
    OwnedRef code(reinterpret_cast<PyObject *>(PyCode_NewEmpty(file_name, function_name, line)));
    if (!code) {
        Py_DECREF(pending);
        return;
    }
    PyErr_SetRaisedException(pending);
    OwnedRef frame(reinterpret_cast<PyObject *>(
        PyFrame_New(tstate, reinterpret_cast<PyCodeObject *>(code.get()),
                    runtime_state.module_dict, nullptr)));
    if (!frame) {
        return;
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

}  // namespace kovi
