// kq2741ctl._core: the Attenuator and its Channels, exchanging verified
// frames with the instrument at the speed of the line. The package's
// __init__ re-exports them beside its errors and result tuples.
#include "attenuator.hpp"
#include "protocol/units.hpp"
#include "values.hpp"

namespace kq2741::package {
namespace {

State* state_of(PyObject* module) {
    return static_cast<State*>(PyModule_GetState(module));
}

// module.name, as a new reference in `slot`.
int import_into(PyObject*& slot, const char* module, const char* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    if (!imported) return -1;
    slot = name ? PyObject_GetAttrString(imported.get(), name) : imported.release();
    return slot ? 0 : -1;
}

// attenuation_steps(db, *, nearest=False): the Attenuator's own reading of a
// value, for the layers above that check before they call (frameworks'
// validators, servers' forms) and for the IOC, whose rule is the nearest step.
PyObject* core_attenuation_steps(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"db", "nearest", nullptr};
    PyObject* db = nullptr;
    int nearest = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:attenuation_steps", const_cast<char**>(keywords), &db,
                                     &nearest))
        return nullptr;
    std::uint16_t steps = 0;
    if (!attenuation_steps(*state_of(module), db, nearest != 0, steps)) return nullptr;
    return PyLong_FromLong(steps);
}

PyMethodDef core_methods[] = {
    {"attenuation_steps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(core_attenuation_steps)),
     METH_VARARGS | METH_KEYWORDS,
     "attenuation_steps(db, *, nearest=False)\n--\n\n"
     "The whole number of " KQ2741_STEP_DB_TEXT " dB steps that db stands for, as the Attenuator reads it:\n"
     "exact for integers, Decimals and Fractions; a binary float stands for the step\n"
     "it misses only by rounding. ValueError for a value outside 0 to " KQ2741_MAX_DB_TEXT " dB or\n"
     "between two steps (nearest=True: the nearest step instead), TypeError for\n"
     "anything that is not a real number."},
    {nullptr, nullptr, 0, nullptr},
};

// Units and limits, from the protocol library, for the layers above.
int add_constants(PyObject* module) {
    namespace protocol = kq2741::protocol;
    const struct {
        const char* name;
        PyObject* value;
    } constants[] = {
        {"MAX_DB", PyFloat_FromDouble(protocol::kMaxDb)},
        {"STEP_DB", PyFloat_FromDouble(protocol::kStepDb)},
        {"STEPS_PER_DB", PyLong_FromUnsignedLong(protocol::kStepsPerDb)},
        {"MAX_STEPS", PyLong_FromUnsignedLong(protocol::kMaxSteps)},
        {"MAX_TIMEOUT", PyFloat_FromDouble(protocol::kMaxTimeoutSeconds)},
    };
    int status = 0;
    for (const auto& c : constants) {
        Ref value = Ref::steal(c.value);
        if (status == 0 && (!value || PyModule_AddObjectRef(module, c.name, value.get()) < 0)) status = -1;
    }
    return status;
}

int core_exec(PyObject* module) {
    State* st = state_of(module);
#define KQCTL_INTERN(field, text) \
    if (!(st->names.field = PyUnicode_InternFromString(text))) return -1;
    KQCTL_NAMES(KQCTL_INTERN)
#undef KQCTL_INTERN
    if (import_into(st->version_tuple, "kq2741ctl._results", "Version") < 0 ||
        import_into(st->status_tuple, "kq2741ctl._results", "Status") < 0 ||
        import_into(st->no_answer, "kq2741ctl._errors", "NoAnswer") < 0 ||
        import_into(st->bad_answer, "kq2741ctl._errors", "BadAnswer") < 0 ||
        import_into(st->refused, "kq2741ctl._errors", "Refused") < 0 ||
        import_into(st->port_busy, "kq2741ctl._errors", "PortBusy") < 0 ||
        import_into(st->serial_module, "serial", nullptr) < 0 ||
        import_into(st->serial_exception, "serial", "SerialException") < 0 ||
        import_into(st->port_not_open, "serial", "PortNotOpenError") < 0 ||
        import_into(st->decimal_type, "decimal", "Decimal") < 0 ||
        import_into(st->rational_abc, "numbers", "Rational") < 0 ||
        import_into(st->real_abc, "numbers", "Real") < 0)
        return -1;
    Ref logging = Ref::steal(PyImport_ImportModule("logging"));
    if (!logging) return -1;
    st->logger = PyObject_CallMethod(logging.get(), "getLogger", "s", "kq2741ctl");
    if (!st->logger) return -1;

    st->attenuator_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &attenuator_spec, nullptr));
    if (!st->attenuator_type) return -1;
    st->channel_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &channel_spec, nullptr));
    if (!st->channel_type) return -1;
    if (PyModule_AddObjectRef(module, "Attenuator", reinterpret_cast<PyObject*>(st->attenuator_type)) < 0) return -1;
    if (PyModule_AddObjectRef(module, "Channel", reinterpret_cast<PyObject*>(st->channel_type)) < 0) return -1;
    return add_constants(module);
}

#define KQ_STATE_FIELDS(X)                                                                              \
    X(attenuator_type) X(channel_type) X(version_tuple) X(status_tuple) X(no_answer) X(bad_answer)     \
    X(refused) X(port_busy) X(serial_module) X(serial_exception) X(port_not_open) X(logger)            \
    X(decimal_type) X(rational_abc) X(real_abc)

int core_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of(module);
    if (!st) return 0;
#define KQ_VISIT(field) Py_VISIT(st->field);
    KQ_STATE_FIELDS(KQ_VISIT)
#undef KQ_VISIT
#define KQ_VISIT_NAME(field, text) Py_VISIT(st->names.field);
    KQCTL_NAMES(KQ_VISIT_NAME)
#undef KQ_VISIT_NAME
    return 0;
}

int core_clear(PyObject* module) {
    State* st = state_of(module);
    if (!st) return 0;
#define KQ_CLEAR(field) Py_CLEAR(st->field);
    KQ_STATE_FIELDS(KQ_CLEAR)
#undef KQ_CLEAR
#define KQ_CLEAR_NAME(field, text) Py_CLEAR(st->names.field);
    KQCTL_NAMES(KQ_CLEAR_NAME)
#undef KQ_CLEAR_NAME
    return 0;
}

void core_free(void* module) {
    core_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(core_exec)},
    {0, nullptr},
};

PyModuleDef core_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "kq2741ctl._core",
    .m_doc = "The C++ core of kq2741ctl: Attenuator and Channel.",
    .m_size = sizeof(State),
    .m_methods = core_methods,
    .m_slots = core_slots,
    .m_traverse = core_traverse,
    .m_clear = core_clear,
    .m_free = core_free,
};

}  // namespace
}  // namespace kq2741::package

PyMODINIT_FUNC PyInit__core() {
    return PyModuleDef_Init(&kq2741::package::core_module);
}
