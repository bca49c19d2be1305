// What the package's core keeps per module: its two types, the Python
// classes it builds results and errors from, and the serial library.
#pragma once

#include "core/ref.hpp"

namespace kqctl {

using kq::Borrowed;
using kq::Ref;

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
};

}  // namespace kqctl
