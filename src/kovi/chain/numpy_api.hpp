// numpy's C API for the chain module's sources.  One table of numpy entry
// points serves every source file; chain_module.cpp defines it and fills it
// at import (KOVI_CHAIN_DEFINES_NUMPY_API), the others only refer to it.
#ifndef KOVI_CHAIN_NUMPY_API_HPP
#define KOVI_CHAIN_NUMPY_API_HPP

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL kovi_chain_numpy_api
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef KOVI_CHAIN_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#endif
