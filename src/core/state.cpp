#include "core/state.hpp"

namespace kq {

int state_init(ModuleState* st) noexcept {
#define KQ_INTERN_NAME(field, text) \
    if (!(st->names.field = PyUnicode_InternFromString(text))) return -1;
    KQ_NAMES(KQ_INTERN_NAME)
#undef KQ_INTERN_NAME
    for (size_t i = 0; i < kCommandCount; ++i)
        if (!(st->template_names[i] = PyUnicode_InternFromString(kTemplateAttributes[i]))) return -1;
    if (!lock_init(st->lock)) return -1;
    if (!(st->wait_seconds = PyFloat_FromDouble(0.2))) return -1;
    if (!(st->open_kwnames = Py_BuildValue("(ss)", "timeout", "stopbits"))) return -1;
    if (!(st->run_kwnames = Py_BuildValue("(ss)", "stdout", "stderr"))) return -1;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || !(st->sum = PyObject_GetAttrString(builtins.get(), "sum"))) return -1;
    return 0;
}

int state_traverse(ModuleState* st, visitproc visit, void* arg) noexcept {
    Py_VISIT(st->method_type);
    Py_VISIT(st->sum);
    return 0;
}

void state_clear(ModuleState* st) noexcept {
#define KQ_CLEAR_NAME(field, text) Py_CLEAR(st->names.field);
    KQ_NAMES(KQ_CLEAR_NAME)
#undef KQ_CLEAR_NAME
    for (PyObject*& name : st->template_names) Py_CLEAR(name);
    Py_CLEAR(st->method_type);
    Py_CLEAR(st->wait_seconds);
    Py_CLEAR(st->sum);
    Py_CLEAR(st->open_kwnames);
    Py_CLEAR(st->run_kwnames);
}

void state_free(ModuleState* st) noexcept {
    state_clear(st);
    lock_free(st->lock);
}

}  // namespace kq
