#include "surface/signature.hpp"

#include "core/python_ops.hpp"

namespace kq2741::driver {

Ref parameter_names(const MethodSpec& spec) noexcept {
    const Py_ssize_t count = static_cast<Py_ssize_t>(spec.params.size());
    Ref names = Ref::steal(PyTuple_New(count));
    if (!names) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyUnicode_InternFromString(spec.params[static_cast<size_t>(i)].name);
        if (!name) return {};
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    return names;
}

Ref annotations(const MethodSpec& spec) noexcept {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const Param& param : spec.params) {
        PyObject* type = reinterpret_cast<PyObject*>(python_type(param.type));
        if (type && PyDict_SetItemString(annotations.get(), param.name, type) < 0) return {};
    }
    PyObject* result = nullptr;
    switch (spec.result) {
        case Declared::Bool: result = reinterpret_cast<PyObject*>(&PyBool_Type); break;
        case Declared::None: result = Py_None; break;
        case Declared::Nothing: break;
    }
    if (result && PyDict_SetItemString(annotations.get(), "return", result) < 0) return {};
    return annotations;
}

Ref defaults(const MethodSpec& spec) noexcept {
    const Py_ssize_t count = static_cast<Py_ssize_t>(spec.params.size()) - spec.required();
    if (count == 0) return {};
    Ref defaults = Ref::steal(PyTuple_New(count));
    if (!defaults) return {};
    Py_ssize_t slot = 0;
    for (const Param& param : spec.params) {
        if (!param.has_default) continue;
        PyObject* value = PyLong_FromLong(param.default_value);
        if (!value) return {};
        PyTuple_SET_ITEM(defaults.get(), slot++, value);
    }
    return defaults;
}

Ref code_object(const MethodSpec& spec, Borrowed qualname, Borrowed param_names, const ModuleState& st) noexcept {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kModuleName, spec.name, 0)));
    if (!empty) return {};
    Ref replace = get_attr(empty.get(), st.python.replace);
    if (!replace) return {};
    Ref argcount = Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(param_names)));
    if (!argcount) return {};
    Ref kwnames = Ref::steal(Py_BuildValue("(ssss)", "co_argcount", "co_nlocals", "co_varnames", "co_qualname"));
    if (!kwnames) return {};
    return call_object(replace.get(), {argcount.get(), argcount.get(), param_names, qualname}, kwnames.get());
}

}  // namespace kq2741::driver
