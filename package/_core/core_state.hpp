// What the package's core keeps per module: its two types, the Python
// classes it builds results and errors from, and the serial library.
#pragma once

#include "cpython/ref.hpp"

namespace kq2741::package {

using cpython::Borrowed;
using cpython::Ref;

// The attribute names the core looks up, interned once: CPython's attribute
// cache keeps a reference to the name it was asked with, so a name made
// afresh on every call would churn it, and an interned one is found at once.
#define KQCTL_NAMES(X)                                                                                 \
    X(serial_for_url, "serial_for_url") X(open, "open") X(close, "close") X(read, "read")              \
    X(write, "write") X(in_waiting, "in_waiting") X(is_enabled_for, "isEnabledFor") X(debug, "debug")  \
    X(as_tuple, "as_tuple") X(numerator, "numerator") X(denominator, "denominator")

struct Names {
#define KQCTL_NAME_FIELD(field, text) PyObject* field;
    KQCTL_NAMES(KQCTL_NAME_FIELD)
#undef KQCTL_NAME_FIELD
};

struct State {
    PyTypeObject* attenuator_type;
    PyTypeObject* channel_type;
    // kq2741ctl._results
    PyObject* version_tuple;
    PyObject* status_tuple;
    // kq2741ctl._errors
    PyObject* no_answer;
    PyObject* bad_answer;
    PyObject* refused;
    PyObject* port_busy;
    // serial, and what the core calls of it
    PyObject* serial_module;
    PyObject* serial_exception;
    PyObject* port_not_open;
    // logging.getLogger("kq2741ctl"): frames at DEBUG
    PyObject* logger;
    // Numbers an attenuation may be given as, beside int and float.
    PyObject* decimal_type;
    PyObject* rational_abc;
    PyObject* real_abc;
    Names names;
};

}  // namespace kq2741::package
