// kq2741: runs the driver module as the main program, which performs the
// demonstration against the instrument on the port given as the first
// argument (or the module's default port).
//
// A compiled module cannot be started with `python -m`, so this program
// starts CPython itself, loads the installed extension and initialises it
// under the name __main__, the way the interpreter runs a script.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <dlfcn.h>

#include "core/ref.hpp"

namespace {

using kq::Ref;

// The installed extension's file, as the import system would find it.
Ref extension_path() {
    Ref util = Ref::steal(PyImport_ImportModule("importlib.util"));
    Ref spec = util ? Ref::steal(PyObject_CallMethod(util.get(), "find_spec", "s", "kq2741")) : Ref();
    if (spec && spec.get() == Py_None) {
        PyErr_SetString(PyExc_ModuleNotFoundError, "No module named 'kq2741'");
        return {};
    }
    return spec ? Ref::steal(PyObject_GetAttrString(spec.get(), "origin")) : Ref();
}

PyModuleDef* module_definition(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    void* init = handle ? dlsym(handle, "PyInit_kq2741") : nullptr;
    if (!init) {
        PyErr_Format(PyExc_ImportError, "cannot load %s: %s", path, dlerror());
        return nullptr;
    }
    PyObject* def = reinterpret_cast<PyObject* (*)()>(init)();
    if (!def || !PyObject_TypeCheck(def, &PyModuleDef_Type)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "kq2741 does not use multi-phase initialisation");
        return nullptr;
    }
    return reinterpret_cast<PyModuleDef*>(def);
}

// Creates the module as __main__ and executes it; the module's own code runs
// the demonstration when its name is __main__.
bool run_as_main() {
    Ref path = extension_path();
    const char* file = path ? PyUnicode_AsUTF8(path.get()) : nullptr;
    PyModuleDef* def = file ? module_definition(file) : nullptr;
    if (!def) return false;

    Ref machinery = Ref::steal(PyImport_ImportModule("importlib.machinery"));
    Ref spec_type = machinery ? Ref::steal(PyObject_GetAttrString(machinery.get(), "ModuleSpec")) : Ref();
    Ref args = spec_type ? Ref::steal(Py_BuildValue("(sO)", "__main__", Py_None)) : Ref();
    Ref kwargs = args ? Ref::steal(Py_BuildValue("{s:O}", "origin", path.get())) : Ref();
    Ref spec = kwargs ? Ref::steal(PyObject_Call(spec_type.get(), args.get(), kwargs.get())) : Ref();
    Ref module = spec ? Ref::steal(PyModule_FromDefAndSpec(def, spec.get())) : Ref();
    if (!module) return false;
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (PyObject_SetAttrString(module.get(), "__file__", path.get()) < 0 ||
        PyObject_SetAttrString(module.get(), "__spec__", spec.get()) < 0 ||
        PyDict_SetItemString(modules, "__main__", module.get()) < 0)
        return false;
    return PyModule_ExecDef(module.get(), def) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;  // the arguments are the demonstration's, not the interpreter's
    PyStatus status = PyConfig_SetBytesArgv(&config, argc, argv);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    int exit_code = 0;
    if (!run_as_main()) {
        exit_code = 1;
        PyErr_Print();  // the traceback as Python prints it; exits itself on SystemExit
    }
    if (Py_FinalizeEx() < 0) exit_code = 120;
    return exit_code;
}
