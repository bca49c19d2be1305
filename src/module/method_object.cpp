#include "module/method_object.hpp"

#include <cstring>

#include "core/pyops.hpp"
#include "module/arguments.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace kq {

namespace {

#if PY_VERSION_HEX >= 0x030C0000
constexpr int kObjectMember = Py_T_OBJECT_EX;
constexpr int kSizeMember = Py_T_PYSSIZET;
constexpr int kReadOnly = Py_READONLY;
#else
constexpr int kObjectMember = T_OBJECT_EX;
constexpr int kSizeMember = T_PYSSIZET;
constexpr int kReadOnly = READONLY;
#endif

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* defaults;     // tuple, or null when no parameter has one
    PyObject* annotations;  // dict
    PyObject* code;
    PyObject* dict;
    PyObject* weakreflist;
};

MethodObject* as_method(PyObject* obj) noexcept { return reinterpret_cast<MethodObject*>(obj); }

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    MethodObject* method = as_method(callable);
    PyObject* values[kMaxParams];
    if (!parse_arguments(*method->spec, method->defaults, args, nargsf, kwnames, values)) return nullptr;
    ModuleState& st = *state_of(method->module);
    Call call{st, method->module, values};
    if (method->spec->guard == Guard::None) return method->spec->body(call).release();
    HeldLock held(st.lock);
    return held ? method->spec->body(call).release() : nullptr;
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* method_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    MethodObject* m = as_method(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->module);
    Py_VISIT(m->defaults);
    Py_VISIT(m->annotations);
    Py_VISIT(m->code);
    Py_VISIT(m->dict);
    return 0;
}

int method_clear(PyObject* self) noexcept {
    MethodObject* m = as_method(self);
    Py_CLEAR(m->module);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    Py_CLEAR(m->module_name);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->defaults);
    Py_CLEAR(m->annotations);
    Py_CLEAR(m->code);
    Py_CLEAR(m->dict);
    return 0;
}

void method_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weakreflist) PyObject_ClearWeakRefs(self);
    method_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// None for a method without defaults, as for a Python function.
PyObject* get_defaults(PyObject* self, void*) noexcept {
    PyObject* defaults = as_method(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

PyObject* get_globals(PyObject* self, void*) noexcept {
    return Py_NewRef(PyModule_GetDict(as_method(self)->module));
}

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", kSizeMember, offsetof(MethodObject, vectorcall), kReadOnly, nullptr},
    {"__dictoffset__", kSizeMember, offsetof(MethodObject, dict), kReadOnly, nullptr},
    {"__weaklistoffset__", kSizeMember, offsetof(MethodObject, weakreflist), kReadOnly, nullptr},
    {"__name__", kObjectMember, offsetof(MethodObject, name), kReadOnly, nullptr},
    {"__qualname__", kObjectMember, offsetof(MethodObject, qualname), kReadOnly, nullptr},
    {"__module__", kObjectMember, offsetof(MethodObject, module_name), kReadOnly, nullptr},
    {"__doc__", kObjectMember, offsetof(MethodObject, doc), kReadOnly, nullptr},
    {"__annotations__", kObjectMember, offsetof(MethodObject, annotations), kReadOnly, nullptr},
    {"__code__", kObjectMember, offsetof(MethodObject, code), kReadOnly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef method_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_members, method_members},
    {Py_tp_getset, method_getset},
    {0, nullptr},
};

Borrowed annotation_of(ArgType type) noexcept {
    switch (type) {
        case ArgType::Str: return reinterpret_cast<PyObject*>(&PyUnicode_Type);
        case ArgType::Int: return reinterpret_cast<PyObject*>(&PyLong_Type);
        case ArgType::List: return reinterpret_cast<PyObject*>(&PyList_Type);
        case ArgType::Object: break;
    }
    return nullptr;
}

Ref make_annotations(const MethodSpec& spec) noexcept {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const Param& param : spec.params) {
        Borrowed type = annotation_of(param.type);
        if (type && PyDict_SetItemString(annotations.get(), param.name, type) < 0) return {};
    }
    Borrowed result = spec.result == Declared::Bool ? reinterpret_cast<PyObject*>(&PyBool_Type)
                      : spec.result == Declared::None ? Py_None
                                                      : nullptr;
    if (result && PyDict_SetItemString(annotations.get(), "return", result) < 0) return {};
    return annotations;
}

Ref make_defaults(const MethodSpec& spec) noexcept {
    Py_ssize_t count = static_cast<Py_ssize_t>(spec.params.size()) - spec.required();
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

// An empty code object whose argument count and names describe the method,
// which is what inspect.signature reads from a function.
Ref make_code(const MethodSpec& spec, Borrowed qualname, const Names& names) noexcept {
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("kq2741", spec.name, 0)));
    Py_ssize_t count = static_cast<Py_ssize_t>(spec.params.size());
    Ref varnames = empty ? Ref::steal(PyTuple_New(count)) : Ref();
    if (!varnames) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* param = PyUnicode_InternFromString(spec.params[i].name);
        if (!param) return {};
        PyTuple_SET_ITEM(varnames.get(), i, param);
    }
    Ref replace = get_attr(empty.get(), names.replace);
    Ref argcount = Ref::steal(PyLong_FromSsize_t(count));
    Ref kwnames = Ref::steal(Py_BuildValue("(ssss)", "co_argcount", "co_nlocals", "co_varnames", "co_qualname"));
    if (!replace || !argcount || !kwnames) return {};
    return call_object(replace.get(), {argcount.get(), argcount.get(), varnames.get(), qualname}, kwnames.get());
}

}  // namespace

PyType_Spec kMethodTypeSpec = {
    .name = "kq2741.function",
    .basicsize = sizeof(MethodObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = method_slots,
};

Ref attribute_name(const MethodSpec& spec, const char* class_name) noexcept {
    size_t length = std::strlen(spec.name);
    bool private_name = length > 2 && std::strncmp(spec.name, "__", 2) == 0 &&
                        std::strcmp(spec.name + length - 2, "__") != 0;
    if (private_name) return Ref::steal(PyUnicode_FromFormat("_%s%s", class_name, spec.name));
    return Ref::steal(PyUnicode_InternFromString(spec.name));
}

Ref new_method_object(Borrowed module, const MethodSpec& spec, const char* class_name) noexcept {
    ModuleState* st = state_of(module);
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = name ? Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, spec.name)) : Ref();
    Ref module_name = qualname ? Ref::steal(PyUnicode_InternFromString("kq2741")) : Ref();
    Ref doc = module_name ? Ref::steal(spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None)) : Ref();
    Ref annotations = doc ? make_annotations(spec) : Ref();
    Ref defaults = annotations ? make_defaults(spec) : Ref();
    if (!annotations || PyErr_Occurred()) return {};
    Ref code = make_code(spec, qualname.get(), st->names);
    if (!code) return {};

    MethodObject* method = PyObject_GC_New(MethodObject, st->method_type);
    if (!method) return {};
    method->vectorcall = method_vectorcall;
    method->spec = &spec;
    method->module = Py_NewRef(module);
    method->name = name.release();
    method->qualname = qualname.release();
    method->module_name = module_name.release();
    method->doc = doc.release();
    method->defaults = defaults.release();
    method->annotations = annotations.release();
    method->code = code.release();
    method->dict = nullptr;
    method->weakreflist = nullptr;
    PyObject_GC_Track(method);
    return Ref::steal(reinterpret_cast<PyObject*>(method));
}

}  // namespace kq
