// Channel: one channel's wavelength and attenuation, each read back from the
// instrument, never from a copy kept here.
#include <algorithm>
#include <string>
#include <vector>

#include "attenuator.hpp"
#include "perform.hpp"
#include "protocol/units.hpp"
#include "values.hpp"

namespace kq2741::package {
namespace {

ChannelObject* self_of(PyObject* self) {
    return reinterpret_cast<ChannelObject*>(self);
}

PyObject* db(std::uint16_t steps) {
    return PyFloat_FromDouble(static_cast<double>(steps) / protocol::kStepsPerDb);
}

int refuse_delete(const char* name) {
    PyErr_Format(PyExc_AttributeError, "cannot delete %s", name);
    return -1;
}

PyObject* channel_number_get(PyObject* self, void*) {
    return PyLong_FromLong(self_of(self)->number);
}

PyObject* channel_wavelengths(PyObject* self, void*) {
    ChannelObject* ch = self_of(self);
    Turn held(ch->attenuator->turn, reinterpret_cast<PyObject*>(ch->attenuator));
    if (!held) return nullptr;
    const std::uint8_t n = ch->number;
    const auto nm = perform<std::vector<std::uint16_t>>(
        ch->attenuator, [n](protocol::Operations& ops) { return ops.wavelengths(n); });
    if (!nm) return nullptr;
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nm->size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < nm->size(); ++i) {
        PyObject* w = PyLong_FromLong((*nm)[i]);
        if (!w) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), w);
    }
    return tuple.release();
}

// The selected wavelength: the status's index into the channel's own list.
struct Selected {
    protocol::Status status;
    std::vector<std::uint16_t> nm;
};

PyObject* channel_wavelength_get(PyObject* self, void*) {
    ChannelObject* ch = self_of(self);
    Turn held(ch->attenuator->turn, reinterpret_cast<PyObject*>(ch->attenuator));
    if (!held) return nullptr;
    const std::uint8_t n = ch->number;
    const auto got = perform<Selected>(ch->attenuator, [n](protocol::Operations& ops) -> protocol::Outcome<Selected> {
        auto status = ops.status(n);
        if (!status) return status.failure();
        auto nm = ops.wavelengths(n);
        if (!nm) return nm.failure();
        return Selected{*status, std::move(*nm)};
    });
    if (!got) return nullptr;
    if (got->status.wavelength_index >= got->nm.size()) {
        PyErr_Format(ch->attenuator->st->bad_answer,
                     "channel %d reports wavelength index %d, but its list has %zu wavelengths (%s)", ch->number,
                     got->status.wavelength_index, got->nm.size(), protocol::nm_list(got->nm).c_str());
        return nullptr;
    }
    return PyLong_FromLong(got->nm[got->status.wavelength_index]);
}

int channel_wavelength_set(PyObject* self, PyObject* value, void*) {
    if (!value) return refuse_delete("wavelength");
    long wanted = 0;
    if (!wavelength_nm(value, wanted)) return -1;
    Ref exact = Ref::steal(PyNumber_Index(value));
    if (!exact) return -1;
    Ref text = shown(exact.get());
    if (!text) return -1;
    const char* nm_text = PyUnicode_AsUTF8(text.get());
    if (!nm_text) return -1;
    const std::string shown_nm(nm_text);
    ChannelObject* ch = self_of(self);
    Turn held(ch->attenuator->turn, reinterpret_cast<PyObject*>(ch->attenuator));
    if (!held) return -1;
    const std::uint8_t n = ch->number;
    return perform<std::uint8_t>(ch->attenuator, [&](protocol::Operations& ops) {
               return ops.select(n, wanted, shown_nm);
           })
               ? 0
               : -1;
}

PyObject* channel_attenuation_get(PyObject* self, void*) {
    ChannelObject* ch = self_of(self);
    Turn held(ch->attenuator->turn, reinterpret_cast<PyObject*>(ch->attenuator));
    if (!held) return nullptr;
    const std::uint8_t n = ch->number;
    const auto s = perform<protocol::Status>(ch->attenuator, [n](protocol::Operations& ops) { return ops.status(n); });
    return s ? db(s->attenuation_steps) : nullptr;
}

int channel_attenuation_set(PyObject* self, PyObject* value, void*) {
    if (!value) return refuse_delete("attenuation");
    ChannelObject* ch = self_of(self);
    std::uint16_t steps = 0;
    if (!attenuation_steps(*ch->attenuator->st, value, false, steps)) return -1;
    Turn held(ch->attenuator->turn, reinterpret_cast<PyObject*>(ch->attenuator));
    if (!held) return -1;
    const std::uint8_t n = ch->number;
    return perform<protocol::Acknowledged>(
               ch->attenuator, [n, steps](protocol::Operations& ops) { return ops.set_attenuation(n, steps); })
               ? 0
               : -1;
}

PyObject* channel_status(PyObject* self, PyObject*) {
    ChannelObject* ch = self_of(self);
    Turn held(ch->attenuator->turn, reinterpret_cast<PyObject*>(ch->attenuator));
    if (!held) return nullptr;
    const std::uint8_t n = ch->number;
    const auto s = perform<protocol::Status>(ch->attenuator, [n](protocol::Operations& ops) { return ops.status(n); });
    if (!s) return nullptr;
    Ref attenuation = Ref::steal(db(s->attenuation_steps));
    if (!attenuation) return nullptr;
    return PyObject_CallFunction(ch->attenuator->st->status_tuple, "iiO", s->work_mode, s->wavelength_index,
                                 attenuation.get());
}

template <auto Act>
PyObject* acknowledged_on_channel(PyObject* self, PyObject*) {
    ChannelObject* ch = self_of(self);
    Turn held(ch->attenuator->turn, reinterpret_cast<PyObject*>(ch->attenuator));
    if (!held) return nullptr;
    const std::uint8_t n = ch->number;
    if (!perform<protocol::Acknowledged>(ch->attenuator, [n](protocol::Operations& ops) { return (ops.*Act)(n); }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* channel_repr(PyObject* self) {
    const ChannelObject* ch = self_of(self);
    return PyUnicode_FromFormat("<Channel %d of %R>", ch->number, reinterpret_cast<PyObject*>(ch->attenuator));
}

int channel_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject*>(self_of(self)->attenuator));
    return 0;
}

int channel_clear_refs(PyObject* self) {
    Py_CLEAR(self_of(self)->attenuator);
    return 0;
}

void channel_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    channel_clear_refs(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* channel_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances: use Attenuator.channel(n)", type->tp_name);
    return nullptr;
}

PyMethodDef channel_methods[] = {
    {"status", channel_status, METH_NOARGS,
     "status($self, /)\n--\n\nStatus(mode, wavelength_index, attenuation): work mode, position of the selected\n"
     "wavelength in `wavelengths`, attenuation in dB."},
    {"clear", acknowledged_on_channel<&protocol::Operations::clear>, METH_NOARGS,
     "clear($self, /)\n--\n\nClear the channel's attenuation to 0 dB."},
    {"disconnect", acknowledged_on_channel<&protocol::Operations::disconnect>, METH_NOARGS,
     "disconnect($self, /)\n--\n\nDisconnect the channel."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef channel_getset[] = {
    {"number", channel_number_get, nullptr, "The channel's number, 1 to 255.", nullptr},
    {"wavelengths", channel_wavelengths, nullptr, "The wavelengths (nm) the channel supports, a tuple.", nullptr},
    {"wavelength", channel_wavelength_get, channel_wavelength_set,
     "The selected wavelength in nm; setting it selects one of `wavelengths` (ValueError for any other).",
     nullptr},
    {"attenuation", channel_attenuation_get, channel_attenuation_set,
     "The attenuation in dB, read back from the instrument. Set it to any real number from 0\n"
     "to " KQ2741_MAX_DB_TEXT " on the " KQ2741_STEP_DB_TEXT " dB grid (int, float, Decimal, Fraction); ValueError otherwise,\n"
     "and nothing is sent. Setting returns once the instrument has acknowledged.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("One channel of an Attenuator: Attenuator.channel(n).")},
    {Py_tp_new, reinterpret_cast<void*>(channel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(channel_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(channel_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(channel_clear_refs)},
    {Py_tp_repr, reinterpret_cast<void*>(channel_repr)},
    {Py_tp_methods, channel_methods},
    {Py_tp_getset, channel_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec channel_spec = {
    .name = "kq2741ctl.Channel",
    .basicsize = sizeof(ChannelObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = channel_slots,
};

PyObject* new_channel(AttenuatorObject* att, std::uint8_t number) {
    PyTypeObject* type = att->st->channel_type;
    ChannelObject* ch = PyObject_GC_New(ChannelObject, type);
    if (!ch) return nullptr;
    ch->attenuator = reinterpret_cast<AttenuatorObject*>(Py_NewRef(reinterpret_cast<PyObject*>(att)));
    ch->number = number;
    PyObject_GC_Track(ch);
    return reinterpret_cast<PyObject*>(ch);
}

}  // namespace kq2741::package
