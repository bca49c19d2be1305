#include "surface/method_object.hpp"

#include "surface/signature.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace kq2741::driver {

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

MethodObject* as_method(PyObject* obj) noexcept { return reinterpret_cast<MethodObject*>(obj); }

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
    Py_VISIT(m->param_names);
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
    Py_CLEAR(m->param_names);
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

}  // namespace

PyType_Spec kMethodTypeSpec = {
    .name = KQ2741_MODULE_NAME ".function",
    .basicsize = sizeof(MethodObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = method_slots,
};

Ref new_method_object(Borrowed module, const MethodSpec& spec) noexcept {
    ModuleState* st = state_of(module);
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    if (!name) return {};
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", kClassName, spec.name));
    if (!qualname) return {};
    Ref module_name = Ref::steal(PyUnicode_InternFromString(kModuleName));
    if (!module_name) return {};
    Ref doc = Ref::steal(spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None));
    if (!doc) return {};
    Ref param_names = parameter_names(spec);
    if (!param_names) return {};
    Ref method_annotations = annotations(spec);
    if (!method_annotations) return {};
    Ref method_defaults = defaults(spec);
    if (PyErr_Occurred()) return {};
    Ref code = code_object(spec, qualname.get(), param_names.get(), *st);
    if (!code) return {};

    MethodObject* method = PyObject_GC_New(MethodObject, st->method_type);
    if (!method) return {};
    method->vectorcall = method_vectorcall;
    method->spec = &spec;
    method->module = Py_NewRef(module);
    method->state = st;
    method->name = name.release();
    method->qualname = qualname.release();
    method->module_name = module_name.release();
    method->doc = doc.release();
    method->param_names = param_names.release();
    method->defaults = method_defaults.release();
    method->annotations = method_annotations.release();
    method->code = code.release();
    method->dict = nullptr;
    method->weakreflist = nullptr;
    PyObject_GC_Track(method);
    return Ref::steal(reinterpret_cast<PyObject*>(method));
}

}  // namespace kq2741::driver
