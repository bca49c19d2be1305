// Attenuator: the port, held from open() to close(), opened again after a
// loss when it reconnects, and what concerns the whole instrument (its
// version, the display).
#include <string>

#include "attenuator.hpp"
#include "cpython/raised.hpp"
#include "perform.hpp"
#include "protocol/units.hpp"
#include "values.hpp"

namespace kq2741::package {
namespace {

AttenuatorObject* self_of(PyObject* self) {
    return reinterpret_cast<AttenuatorObject*>(self);
}

// Attenuator.__new__(Attenuator) without __init__ has no port.
bool initialised(const AttenuatorObject* att) {
    if (att->port) return true;
    PyErr_SetString(PyExc_ValueError, "I/O operation on an uninitialised Attenuator: call Attenuator(port)");
    return false;
}

int attenuator_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"port", "timeout", "reconnect", nullptr};
    PyObject* port = nullptr;
    PyObject* timeout = nullptr;
    PyObject* reconnect = Py_True;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:Attenuator", const_cast<char**>(keywords), &port, &timeout,
                                     &reconnect))
        return -1;
    Ref path = Ref::steal(PyOS_FSPath(port));
    if (!path) return -1;
    if (!PyUnicode_Check(path.get())) {
        PyErr_Format(PyExc_TypeError, "port must be a str (a device name or a pyserial URL), not %s",
                     Py_TYPE(port)->tp_name);
        return -1;
    }
    double seconds = 1.0;
    if (timeout && !timeout_seconds(timeout, seconds)) return -1;
    if (!PyBool_Check(reconnect)) {
        PyErr_Format(PyExc_TypeError, "reconnect must be True or False, not %s", Py_TYPE(reconnect)->tp_name);
        return -1;
    }
    AttenuatorObject* att = self_of(self);
    if (att->opened) {
        PyErr_SetString(PyExc_RuntimeError, "an open Attenuator cannot be given another port");
        return -1;
    }
    Py_XSETREF(att->port, path.release());
    att->timeout = seconds;
    att->reconnect = reconnect == Py_True;
    return 0;
}

PyObject* attenuator_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = Ref::steal(PyType_GenericAlloc(type, 0));
    if (!self) return nullptr;
    AttenuatorObject* att = self_of(self.get());
    att->st = static_cast<State*>(PyType_GetModuleState(type));
    att->timeout = 1.0;
    att->reconnect = true;
    att->turn.lock = PyThread_allocate_lock();
    if (!att->turn.lock) return PyErr_NoMemory();
    att->exchanger = new (std::nothrow) protocol::Exchanger();
    if (!att->exchanger) return PyErr_NoMemory();
    return self.release();
}

int attenuator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(self_of(self)->port);
    return 0;
}

int attenuator_clear(PyObject* self) {
    Py_CLEAR(self_of(self)->port);
    return 0;
}

void attenuator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    AttenuatorObject* att = self_of(self);
    // Nobody refers to it, so no operation holds its turn: the port and the
    // claim on it are given back.
    if (!drop_line(att)) PyErr_WriteUnraisable(self);
    attenuator_clear(self);
    delete att->exchanger;
    if (att->turn.lock) PyThread_free_lock(att->turn.lock);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* attenuator_open(PyObject* self, PyObject*) {
    AttenuatorObject* att = self_of(self);
    if (!initialised(att)) return nullptr;
    Turn held(att->turn, self);
    if (!held) return nullptr;
    if (att->opened) {
        PyErr_SetString(att->st->serial_exception, "Port is already open.");
        return nullptr;
    }
    std::unique_ptr<Line> line = open_line(*att->st, att->port);
    if (!line) return nullptr;
    att->line = line.release();
    att->opened = true;
    Py_RETURN_NONE;
}

PyObject* attenuator_close(PyObject* self, PyObject*) {
    AttenuatorObject* att = self_of(self);
    Turn held(att->turn, self);
    if (!held) return nullptr;
    att->opened = false;
    if (!drop_line(att)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* attenuator_enter(PyObject* self, PyObject*) {
    if (!Ref::steal(attenuator_open(self, nullptr))) return nullptr;
    return Py_NewRef(self);
}

PyObject* attenuator_exit(PyObject* self, PyObject*) {
    if (!Ref::steal(attenuator_close(self, nullptr))) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* attenuator_channel(PyObject* self, PyObject* number) {
    std::uint8_t n = 0;
    if (!channel_number(number, n)) return nullptr;
    return new_channel(self_of(self), n);
}

PyObject* attenuator_close_display(PyObject* self, PyObject*) {
    AttenuatorObject* att = self_of(self);
    Turn held(att->turn, self);
    if (!held) return nullptr;
    if (!perform<protocol::Acknowledged>(att, [](protocol::Operations& ops) { return ops.close_display(); }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* attenuator_version(PyObject* self, void*) {
    AttenuatorObject* att = self_of(self);
    Turn held(att->turn, self);
    if (!held) return nullptr;
    const auto v = perform<protocol::Version>(att, [](protocol::Operations& ops) { return ops.version(); });
    if (!v) return nullptr;
    return PyObject_CallFunction(att->st->version_tuple, "iii", v->module, v->hardware, v->software);
}

PyObject* attenuator_is_open(PyObject* self, void*) {
    return PyBool_FromLong(self_of(self)->opened);
}

PyObject* attenuator_port(PyObject* self, void*) {
    if (!initialised(self_of(self))) return nullptr;
    return Py_NewRef(self_of(self)->port);
}

PyObject* attenuator_reconnect(PyObject* self, void*) {
    return PyBool_FromLong(self_of(self)->reconnect);
}

PyObject* attenuator_get_timeout(PyObject* self, void*) {
    return PyFloat_FromDouble(self_of(self)->timeout);
}

int attenuator_set_timeout(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete timeout");
        return -1;
    }
    double seconds = 0;
    if (!timeout_seconds(value, seconds)) return -1;
    self_of(self)->timeout = seconds;
    return 0;
}

PyObject* attenuator_repr(PyObject* self) {
    const AttenuatorObject* att = self_of(self);
    if (!att->port) return PyUnicode_FromString("<Attenuator uninitialised>");
    return PyUnicode_FromFormat("<Attenuator %R %s>", att->port,
                                !att->opened ? "closed" : att->line ? "open" : "open, line lost");
}

PyMethodDef attenuator_methods[] = {
    {"open", attenuator_open, METH_NOARGS,
     "open($self, /)\n--\n\nOpen the port (115200 baud, 8N1), exclusively where the platform allows.\n"
     "PortBusy when another program holds it."},
    {"close", attenuator_close, METH_NOARGS, "close($self, /)\n--\n\nClose the port; closing again is harmless."},
    {"channel", attenuator_channel, METH_O, "channel($self, n, /)\n--\n\nChannel n of the instrument, 1 to 255."},
    {"close_display", attenuator_close_display, METH_NOARGS,
     "close_display($self, /)\n--\n\nTake the instrument's display out of full-screen mode."},
    {"__enter__", attenuator_enter, METH_NOARGS, "Open the port and return the Attenuator."},
    {"__exit__", attenuator_exit, METH_VARARGS, "Close the port."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef attenuator_getset[] = {
    {"version", attenuator_version, nullptr, "Version(module, hardware, software), read from the instrument.",
     nullptr},
    {"is_open", attenuator_is_open, nullptr, "True from open() to close(), whether or not the line is lost.", nullptr},
    {"port", attenuator_port, nullptr, "The device name or pyserial URL given.", nullptr},
    {"reconnect", attenuator_reconnect, nullptr,
     "Whether a lost line (adapter unplugged, port gone) is opened again by the next call.", nullptr},
    {"timeout", attenuator_get_timeout, attenuator_set_timeout,
     "Seconds one exchange may take before NoAnswer (more than 0, at most " KQ2741_MAX_TIMEOUT_TEXT ").", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot attenuator_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Attenuator(port, *, timeout=1.0, reconnect=True)\n--\n\n"
                    "A KQ2741 on a serial port: a device name ('/dev/ttyUSB0', 'COM3') or a\n"
                    "pyserial URL ('socket://lab-pi:4001'). Nothing is opened until open() or\n"
                    "`with`. Each exchange waits at most `timeout` seconds for a complete,\n"
                    "verified answer; threads may share one Attenuator. With `reconnect`, a\n"
                    "line lost to an unplugged adapter or a vanished port is opened again by\n"
                    "the first call after it is back; calls in between fail at once.")},
    {Py_tp_new, reinterpret_cast<void*>(attenuator_new)},
    {Py_tp_init, reinterpret_cast<void*>(attenuator_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(attenuator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(attenuator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(attenuator_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(attenuator_repr)},
    {Py_tp_methods, attenuator_methods},
    {Py_tp_getset, attenuator_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec attenuator_spec = {
    .name = "kq2741ctl.Attenuator",
    .basicsize = sizeof(AttenuatorObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = attenuator_slots,
};

}  // namespace kq2741::package
