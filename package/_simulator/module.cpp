// kq2741ctl._simulator: the simulated KQ2741 inside this process, the same
// model kq2741-sim serves on a pseudo-terminal (model/), for the pyserial URL
// handler kq2741ctl.protocol_kq2741sim. Time is the steady clock's: an answer
// arrives when it is due and read() hands out only what has arrived; the
// waiting is the handler's, with the GIL released.
#include <algorithm>
#include <chrono>
#include <new>
#include <string>

#include "cpython/ref.hpp"
#include "model/responder.hpp"

namespace {

using kq2741::cpython::Ref;
using kq2741::model::Responder;
using kq2741::model::SettingError;
using kq2741::model::Settings;
using Clock = Responder::Clock;

// A serial port's input buffer is finite: past this, answers nobody reads
// are lost, as on a real port, instead of piling up without end.
constexpr std::size_t kInputBufferSize = 64 * 1024;

// The instrument and the host's end of the line.
struct Line {
    explicit Line(const Settings& settings) : responder(settings) {}

    // Moves every answer due by `now` off the instrument onto the host's end.
    void collect(Clock::time_point now) {
        auto& outbox = responder.outbox();
        while (outbox.head_due(now)) {
            const auto& data = outbox.head().data;
            const std::size_t room = kInputBufferSize - std::min(kInputBufferSize, arrived.size());
            arrived.insert(arrived.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min(room, data.size())));
            outbox.pop();
        }
    }

    Responder responder;
    kq2741::protocol::Bytes arrived;
};

struct InstrumentObject {
    PyObject_HEAD
    Line* line;
};

InstrumentObject* self_of(PyObject* self) {
    return reinterpret_cast<InstrumentObject*>(self);
}

// The line, or null with RuntimeError for an object whose __init__ never ran.
Line* line_of(PyObject* self) {
    Line* line = self_of(self)->line;
    if (!line) PyErr_SetString(PyExc_RuntimeError, "the simulated instrument was never made (__init__ not called)");
    return line;
}

// UTF-8 of a str; false with an exception set for anything else.
bool text_of(PyObject* obj, const char* what, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "a setting's %s must be a str, not %.100s", what, Py_TYPE(obj)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!text) return false;
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

// settings: an iterable of (name, value) pairs of str, names as kq2741-sim
// spells its options ("delay-ms"), a flag's value "" for on.
bool read_settings(PyObject* pairs, Settings& settings) {
    Ref iterator = Ref::steal(PyObject_GetIter(pairs));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
            PyErr_Format(PyExc_TypeError, "each setting must be a (name, value) tuple, not %.100s",
                         Py_TYPE(item.get())->tp_name);
            return false;
        }
        std::string name, value;
        if (!text_of(PyTuple_GET_ITEM(item.get(), 0), "name", name) ||
            !text_of(PyTuple_GET_ITEM(item.get(), 1), "value", value))
            return false;
        try {
            kq2741::model::set(settings, name, value);
        } catch (const SettingError& e) {
            PyErr_Format(PyExc_ValueError, "%s: %s", e.name.c_str(), e.what());
            return false;
        }
    }
    return !PyErr_Occurred();
}

// --- the type ---------------------------------------------------------------

int instrument_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"settings", nullptr};
    PyObject* pairs = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:Instrument", const_cast<char**>(keywords), &pairs)) return -1;
    Settings settings;
    if (pairs && !read_settings(pairs, settings)) return -1;
    Line* line = nullptr;
    try {
        line = new Line(settings);
    } catch (const SettingError& e) {
        PyErr_Format(PyExc_ValueError, "%s: %s", e.name.c_str(), e.what());
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    delete self_of(self)->line;
    self_of(self)->line = line;
    return 0;
}

void instrument_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete self_of(self)->line;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* instrument_write(PyObject* self, PyObject* data) {
    Line* line = line_of(self);
    if (!line) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
    const Py_ssize_t size = view.len;
    try {
        line->responder.receive({static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(size)},
                                Clock::now());
    } catch (const std::bad_alloc&) {
        PyBuffer_Release(&view);
        return PyErr_NoMemory();
    }
    PyBuffer_Release(&view);
    return PyLong_FromSsize_t(size);
}

PyObject* instrument_read(PyObject* self, PyObject* size_arg) {
    Line* line = line_of(self);
    if (!line) return nullptr;
    const Py_ssize_t size = PyNumber_AsSsize_t(size_arg, PyExc_OverflowError);
    if (size == -1 && PyErr_Occurred()) return nullptr;
    if (size < 0) {
        PyErr_SetString(PyExc_ValueError, "size must not be negative");
        return nullptr;
    }
    try {
        line->collect(Clock::now());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    const auto n = static_cast<Py_ssize_t>(std::min(line->arrived.size(), static_cast<std::size_t>(size)));
    PyObject* out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(line->arrived.data()), n);
    if (out) line->arrived.erase(line->arrived.begin(), line->arrived.begin() + n);
    return out;
}

PyObject* instrument_in_waiting(PyObject* self, void*) {
    Line* line = line_of(self);
    if (!line) return nullptr;
    try {
        line->collect(Clock::now());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return PyLong_FromSize_t(line->arrived.size());
}

PyObject* instrument_next_due(PyObject* self, PyObject*) {
    Line* line = line_of(self);
    if (!line) return nullptr;
    auto& outbox = line->responder.outbox();
    if (outbox.empty()) Py_RETURN_NONE;
    const std::chrono::duration<double> left = outbox.head().due - Clock::now();
    return PyFloat_FromDouble(std::max(0.0, left.count()));
}

PyObject* instrument_reset_input(PyObject* self, PyObject*) {
    Line* line = line_of(self);
    if (!line) return nullptr;
    try {
        line->collect(Clock::now());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    line->arrived.clear();
    Py_RETURN_NONE;
}

PyObject* instrument_hang_up(PyObject* self, PyObject*) {
    Line* line = line_of(self);
    if (!line) return nullptr;
    line->responder.hang_up();
    line->arrived.clear();
    Py_RETURN_NONE;
}

PyObject* instrument_state(PyObject* self, PyObject*) {
    Line* line = line_of(self);
    if (!line) return nullptr;
    try {
        const std::string json = line->responder.instrument().state_json();
        return PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef instrument_methods[] = {
    {"write", instrument_write, METH_O,
     PyDoc_STR("write(data) -> int\n\nThe host sends bytes; each complete request is applied at once.")},
    {"read", instrument_read, METH_O,
     PyDoc_STR("read(size) -> bytes\n\nAt most size bytes of the answers that have arrived; never waits.")},
    {"next_due", instrument_next_due, METH_NOARGS,
     PyDoc_STR("next_due() -> float | None\n\nSeconds until more of an answer arrives (0.0: it has), "
               "None when none is on its way.")},
    {"reset_input", instrument_reset_input, METH_NOARGS,
     PyDoc_STR("reset_input() -> None\n\nDrops what has arrived and was not read.")},
    {"hang_up", instrument_hang_up, METH_NOARGS,
     PyDoc_STR("hang_up() -> None\n\nThe port closed: a request half sent and every answer not yet read are lost.")},
    {"state", instrument_state, METH_NOARGS,
     PyDoc_STR("state() -> str\n\nThe instrument's state as JSON, as kq2741-sim writes its --state-file.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef instrument_getset[] = {
    {"in_waiting", instrument_in_waiting, nullptr, PyDoc_STR("Bytes of answers that have arrived and wait to be read."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot instrument_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "Instrument(settings=())\n\nA simulated KQ2741 and the host's end of its line. settings: (name, value) "
        "pairs named as kq2741-sim's options (\"channels\", \"delay-ms\", \"split\", ...).")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(instrument_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instrument_dealloc)},
    {Py_tp_methods, instrument_methods},
    {Py_tp_getset, instrument_getset},
    {0, nullptr},
};

PyType_Spec instrument_spec = {
    .name = "kq2741ctl._simulator.Instrument",
    .basicsize = sizeof(InstrumentObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = instrument_slots,
};

// --- the module -------------------------------------------------------------

int simulator_exec(PyObject* module) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &instrument_spec, nullptr));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "Instrument", type.get());
}

PyModuleDef_Slot simulator_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(simulator_exec)},
    {0, nullptr},
};

PyModuleDef simulator_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "kq2741ctl._simulator",
    .m_doc = "The simulated KQ2741 in this process, for the pyserial URL kq2741sim://.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = simulator_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__simulator() {
    return PyModuleDef_Init(&simulator_module);
}
