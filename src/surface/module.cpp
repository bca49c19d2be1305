// kq2741: driver for the KQ2741 multi-channel variable optical attenuator.
//
// Module execution imports what the driver talks to (platform, serial, time,
// subprocess), builds the class KQ2741 from the command templates and the
// method table, and runs the demonstration when executed as __main__.
#include "core/python_ops.hpp"
#include "surface/demo.hpp"
#include "surface/method_object.hpp"
#include "surface/method_table.hpp"
#include "wire/templates.hpp"

namespace kq2741::driver {

namespace {

constexpr const char kModuleDoc[] =
    "Driver for the KQ2741 multi-channel variable optical attenuator.\n"
    "\n"
    "Example::\n"
    "\n"
    "    from kq2741 import KQ2741\n"
    "\n"
    "    kq = KQ2741(\"" KQ2741_DEFAULT_PORT "\")\n"
    "    if kq.open():\n"
    "        print(kq.read_device_version())\n"
    "        kq.set_attenuation(1100, 1)    # channel 1 to 1.1 dB\n";

// The module globals the driver talks through, bound in their import order.
int import_dependencies(PyObject* module) noexcept {
    for (const char* name : {
#define KQ_GLOBAL_TEXT(group, field, text) text,
             KQ_GLOBAL_NAMES(KQ_GLOBAL_TEXT)
#undef KQ_GLOBAL_TEXT
         }) {
        Ref imported = Ref::steal(PyImport_ImportModule(name));
        if (!imported) return -1;
        if (PyModule_AddObjectRef(module, name, imported.get()) < 0) return -1;
    }
    return 0;
}

// type("KQ2741", (object,), namespace): the templates, then the methods.
Ref build_class(PyObject* module) noexcept {
    const ModuleState* st = state_of(module);
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return {};
    Ref module_name = Ref::steal(PyUnicode_FromString(kModuleName));
    if (!module_name) return {};
    Ref qualname = Ref::steal(PyUnicode_FromString(kClassName));
    if (!qualname) return {};
    if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0) return {};
    if (PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0) return {};
    for (size_t i = 0; i < kTemplateCount; ++i) {
        Ref frame = template_list(static_cast<Template>(i));
        if (!frame) return {};
        if (PyDict_SetItem(ns.get(), st->templates[i], frame.get()) < 0) return {};
    }
    for (const MethodSpec& spec : kMethods) {
        Ref method = new_method_object(module, spec);
        if (!method) return {};
        Ref key = class_attribute_name(spec.name);
        if (!key) return {};
        if (PyDict_SetItem(ns.get(), key.get(), method.get()) < 0) return {};
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!bases) return {};
    return Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", kClassName, bases.get(),
                                            ns.get()));
}

int module_exec(PyObject* module) noexcept {
    ModuleState* st = state_of(module);
    if (state_init(st) < 0) return -1;
    st->method_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kMethodTypeSpec, nullptr));
    if (!st->method_type) return -1;
    if (import_dependencies(module) < 0) return -1;

    Ref cls = build_class(module);
    if (!cls) return -1;
    if (PyModule_AddObjectRef(module, kClassName, cls.get()) < 0) return -1;

    Ref name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!name) return -1;
    int is_main = PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "__main__") == 0;
    return is_main ? run_demonstration(module) : 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) noexcept {
    return state_traverse(state_of(module), visit, arg);
}

int module_clear(PyObject* module) noexcept {
    state_clear(state_of(module));
    return 0;
}

void module_free(void* module) noexcept { state_free(state_of(static_cast<PyObject*>(module))); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = kModuleName,
    .m_doc = kModuleDoc,
    .m_size = sizeof(ModuleState),
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = module_traverse,
    .m_clear = module_clear,
    .m_free = module_free,
};

}  // namespace

}  // namespace kq2741::driver

PyMODINIT_FUNC PyInit_kq2741(void) { return PyModuleDef_Init(&kq2741::driver::module_def); }
