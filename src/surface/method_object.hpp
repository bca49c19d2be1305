// The objects that stand for the class's methods. They behave like the
// functions of a compiled Python module: they bind to an instance as a
// bound method, carry __name__, __qualname__, __doc__, __module__,
// __defaults__, __annotations__ and a __code__ that inspect.signature reads
// (method_object.cpp), and are called through vectorcall with the argument
// rules of their row of the method table (method_call.cpp).
#pragma once

#include "surface/method_table.hpp"

namespace kq2741::driver {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // method_vectorcall
    const MethodSpec* spec;     // its row of the method table
    PyObject* module;           // whose state and globals its calls use
    ModuleState* state;         // the module's, which lives as long as the module
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* param_names;  // tuple of interned names, the object first
    PyObject* defaults;     // tuple, or null when no parameter has one
    PyObject* annotations;  // dict
    PyObject* code;
    PyObject* dict;
    PyObject* weakreflist;
};

extern PyType_Spec kMethodTypeSpec;

// A new method object for `spec`, belonging to `module`, whose globals and
// state its calls use.
Ref new_method_object(Borrowed module, const MethodSpec& spec) noexcept;

// A call of a method object: the arguments taken by its row's rules, the
// module's operation lock held when the row says so, then the row's body.
PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

}  // namespace kq2741::driver
