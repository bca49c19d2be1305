// Attenuator: the port, opened with pyserial, and what concerns the whole
// instrument (its version, the display).
#include <cerrno>
#include <string>

#include "attenuator.hpp"
#include "core/raised.hpp"
#include "protocol/answers.hpp"
#include "protocol/requests.hpp"
#include "turn.hpp"
#include "values.hpp"

#ifdef KQ2741CTL_FD_LINE
#include <unistd.h>

#include "tty/holders.hpp"
#endif

namespace kqctl {
namespace {

// Each pyserial read waits at most this long for its first byte; the
// exchange keeps its own deadline around them.
constexpr double kReadSlice = 0.01;

AttenuatorObject* self_of(PyObject* self) {
    return reinterpret_cast<AttenuatorObject*>(self);
}

// 115200 baud, 8N1: the instrument's line settings.
Ref new_serial(const State& st, Borrowed port) {
    Ref make = Ref::steal(PyObject_GetAttr(st.serial_module, st.names.serial_for_url));
    if (!make) return {};
    Ref args = Ref::steal(PyTuple_Pack(1, port));
    if (!args) return {};
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O,s:i,s:i,s:s,s:i,s:d}", "do_not_open", Py_True, "baudrate", 115200,
                                          "bytesize", 8, "parity", "N", "stopbits", 1, "timeout", kReadSlice));
    if (!kwargs) return {};
    return Ref::steal(PyObject_Call(make.get(), args.get(), kwargs.get()));
}

// Does the serial library's error on open say another program has the port?
bool held_elsewhere([[maybe_unused]] const State& st, Borrowed error) {
#ifdef _WIN32
    // pyserial on Windows keeps the system's refusal in its message alone
    // ("could not open port 'COM3': PermissionError(13, 'Access is denied.',
    // None, 5)"): Windows gives a serial port to one program at a time and
    // refuses every other open so.
    Ref text = Ref::steal(PyObject_Str(error));
    Ref needle = Ref::steal(PyUnicode_FromString("PermissionError("));
    const int found = text && needle ? PySequence_Contains(text.get(), needle.get()) : -1;
    if (found < 0) PyErr_Clear();
    return found > 0;
#else
    Ref code = Ref::steal(PyObject_GetAttr(error, st.names.error_number));
    const long number = code && PyLong_Check(code.get()) ? PyLong_AsLong(code.get()) : 0;
    PyErr_Clear();  // no errno, or one too large for a long: not EBUSY either way
    return number == EBUSY;
#endif
}

// serial.open(). A port another program made the kernel refuse to others
// (TIOCEXCL) fails with EBUSY: that is PortBusy, naming the holder where it
// can be seen, caused by the serial library's own error.
bool open_serial(const State& st, Borrowed serial, Borrowed port) {
    if (Ref::steal(PyObject_CallMethodNoArgs(serial, st.names.open))) return true;
    if (!PyErr_ExceptionMatches(st.serial_exception)) return false;
    Ref error = kq::take_raised();
    if (!held_elsewhere(st, error.get())) {
        kq::raise_again(std::move(error));
        return false;
    }
#ifdef KQ2741CTL_FD_LINE
    const char* path = PyUnicode_AsUTF8(port);
    if (!path) return false;
    Ref message = Ref::steal(
        PyUnicode_FromString(kq2741::tty::busy_message(path, kq2741::tty::other_holders(std::string(path))).c_str()));
#else
    Ref message = Ref::steal(PyUnicode_FromFormat("%U is held by another program", port));
#endif
    if (!message) return false;
    Ref busy = Ref::steal(PyObject_CallOneArg(st.port_busy, message.get()));
    if (!busy) return false;
    PyException_SetCause(busy.get(), error.release());
    PyErr_SetObject(st.port_busy, busy.get());
    return false;
}

// The line for an open serial object: its descriptor when it is a local
// terminal, else its own read and write.
std::unique_ptr<Line> line_for(const State& st, Borrowed serial, [[maybe_unused]] Borrowed port) {
#ifdef KQ2741CTL_FD_LINE
    Ref fileno = Ref::steal(PyObject_CallMethodNoArgs(serial, st.names.fileno));
    if (!fileno) {
        // socket:// and the other URL handlers may have none.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
        PyErr_Clear();
    } else {
        const long fd = PyLong_AsLong(fileno.get());
        if (fd == -1 && PyErr_Occurred()) return nullptr;
        if (fd >= 0 && isatty(static_cast<int>(fd))) return fd_line(st, serial, static_cast<int>(fd), PyUnicode_AsUTF8(port));
    }
#endif
    return serial_line(st, serial);
}

void close_line(AttenuatorObject* att) {
    if (att->line) att->line->release();
    delete att->line;
    att->line = nullptr;
}

// --- the type ---------------------------------------------------------------

int attenuator_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"port", "timeout", nullptr};
    PyObject* port = nullptr;
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:Attenuator", const_cast<char**>(keywords), &port, &timeout))
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
    AttenuatorObject* att = self_of(self);
    if (att->serial) {
        PyErr_SetString(PyExc_RuntimeError, "an open Attenuator cannot be given another port");
        return -1;
    }
    Py_XSETREF(att->port, path.release());
    att->timeout = seconds;
    return 0;
}

PyObject* attenuator_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = Ref::steal(PyType_GenericAlloc(type, 0));
    if (!self) return nullptr;
    AttenuatorObject* att = self_of(self.get());
    att->st = static_cast<State*>(PyType_GetModuleState(type));
    att->timeout = 1.0;
    att->lock = PyThread_allocate_lock();
    if (!att->lock) return PyErr_NoMemory();
    return self.release();
}

int attenuator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(self_of(self)->port);
    Py_VISIT(self_of(self)->serial);
    return 0;
}

int attenuator_clear(PyObject* self) {
    AttenuatorObject* att = self_of(self);
    close_line(att);
    Py_CLEAR(att->port);
    Py_CLEAR(att->serial);
    return 0;
}

void attenuator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // The serial object closes its port when it goes; what the line claimed
    // on the terminal (TIOCEXCL) is given back first.
    attenuator_clear(self);
    // No operation can hold the lock of an object nobody refers to.
    if (self_of(self)->lock) PyThread_free_lock(self_of(self)->lock);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* attenuator_open(PyObject* self, PyObject*) {
    AttenuatorObject* att = self_of(self);
    Turn held(att->lock);
    if (!held) return nullptr;
    if (att->serial) {
        PyErr_SetString(att->st->serial_exception, "Port is already open.");
        return nullptr;
    }
    Ref serial = new_serial(*att->st, att->port);
    if (!serial) return nullptr;
    if (!open_serial(*att->st, serial.get(), att->port)) return nullptr;
    std::unique_ptr<Line> line = line_for(*att->st, serial.get(), att->port);
    if (!line) {
        Ref error = kq::take_raised();
        if (!Ref::steal(PyObject_CallMethodNoArgs(serial.get(), att->st->names.close))) PyErr_Clear();
        kq::raise_again(std::move(error));
        return nullptr;
    }
    att->line = line.release();
    att->serial = serial.release();
    Py_RETURN_NONE;
}

PyObject* attenuator_close(PyObject* self, PyObject*) {
    AttenuatorObject* att = self_of(self);
    Turn held(att->lock);
    if (!held) return nullptr;
    if (!att->serial) Py_RETURN_NONE;
    close_line(att);
    Ref serial = Ref::steal(att->serial);
    att->serial = nullptr;
    if (!Ref::steal(PyObject_CallMethodNoArgs(serial.get(), att->st->names.close))) return nullptr;
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
    Turn held(att->lock);
    if (!held) return nullptr;
    if (!ask_acknowledged(att, protocol::full_screen_close_request())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* attenuator_version(PyObject* self, void*) {
    AttenuatorObject* att = self_of(self);
    Turn held(att->lock);
    if (!held) return nullptr;
    const auto answer = ask(att, protocol::version_request());
    if (!answer) return nullptr;
    const auto v = protocol::decode_version(answer->frame.payload);
    if (!v) {
        misshapen(*att->st, *answer);
        return nullptr;
    }
    return PyObject_CallFunction(att->st->version_tuple, "iii", v->module, v->hardware, v->software);
}

PyObject* attenuator_is_open(PyObject* self, void*) {
    return PyBool_FromLong(self_of(self)->serial != nullptr);
}

PyObject* attenuator_port(PyObject* self, void*) {
    return Py_NewRef(self_of(self)->port);
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
    return PyUnicode_FromFormat("<Attenuator %R %s>", att->port, att->serial ? "open" : "closed");
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
    {"is_open", attenuator_is_open, nullptr, "True while the port is open.", nullptr},
    {"port", attenuator_port, nullptr, "The device name or pyserial URL given.", nullptr},
    {"timeout", attenuator_get_timeout, attenuator_set_timeout,
     "Seconds one exchange may take before NoAnswer (more than 0, at most 3600).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot attenuator_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Attenuator(port, *, timeout=1.0)\n--\n\n"
                    "A KQ2741 on a serial port: a device name ('/dev/ttyUSB0', 'COM3') or a\n"
                    "pyserial URL ('socket://lab-pi:4001'). Nothing is opened until open() or\n"
                    "`with`. Each exchange waits at most `timeout` seconds for a complete,\n"
                    "verified answer; threads may share one Attenuator.")},
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

}  // namespace kqctl
