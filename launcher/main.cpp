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
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "core/names.hpp"
#include "cpython/ref.hpp"

namespace {

using kq2741::cpython::Borrowed;
using kq2741::cpython::Ref;

constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: kq2741 [PORT]\n"
    "\n"
    "Runs the KQ2741 demonstration on the attenuator at PORT (default\n"
    KQ2741_DEFAULT_PORT "): reads the version, the wavelength\n"
    "lists and statuses of channels 1 and 2, sets both channels to 1.10 dB,\n"
    "pauses 5 s, clears both to 0 dB, pauses 5 s again, takes the display\n"
    "out of full-screen mode and closes the port.\n"
    "\n"
    "Caution: it changes the attenuation of channels 1 and 2. Do not run it\n"
    "on an instrument whose channels 1 and 2 carry a live set-up.\n"
    "\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "\n"
    "Exit status: 0 when the demonstration ran to its end, or stopped because\n"
    "the port could not be opened (it prints 'open serial port:PORT failed!');\n"
    "1 when an error ended it (the Python traceback is printed); 2 for a bad\n"
    "option or argument. When the program reading its output goes away (as\n"
    "with | head), it ends quietly by SIGPIPE, as terminal programs do.\n";

enum class Parsed { Run, Done, Usage };

// The options come first; what is left is the port, if any. The program's
// own options never reach the interpreter.
Parsed parse_options(int argc, char** argv) {
    enum { kVersion = 1 };
    static const option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;  // one line of our own instead of getopt's
    for (;;) {
        int opt = getopt_long(argc, argv, "+h", kOptions, nullptr);
        if (opt == -1) break;
        if (opt == 'h') {
            std::fputs(kUsage, stdout);
            return Parsed::Done;
        }
        if (opt == kVersion) {
            std::printf("kq2741 %s\n", KQ2741_VERSION);
            return Parsed::Done;
        }
        // getopt names an unknown short option in optopt; a long one only in argv.
        if (optopt > ' ' && optopt < 0x7F)
            std::fprintf(stderr, "kq2741: unknown option '-%c' (see kq2741 --help)\n", optopt);
        else
            std::fprintf(stderr, "kq2741: unknown option '%s' (see kq2741 --help)\n", argv[optind - 1]);
        return Parsed::Usage;
    }
    if (argc - optind > 1) {
        std::fprintf(stderr, "kq2741: one PORT at most, got %d arguments (see kq2741 --help)\n", argc - optind);
        return Parsed::Usage;
    }
    return Parsed::Run;
}

// The installed extension's file, as the import system would find it.
Ref extension_path() {
    Ref util = Ref::steal(PyImport_ImportModule("importlib.util"));
    if (!util) return {};
    Ref spec = Ref::steal(PyObject_CallMethod(util.get(), "find_spec", "s", KQ2741_MODULE_NAME));
    if (!spec) return {};
    if (spec.get() == Py_None) {
        PyErr_SetString(PyExc_ModuleNotFoundError, "No module named '" KQ2741_MODULE_NAME "'");
        return {};
    }
    return Ref::steal(PyObject_GetAttrString(spec.get(), "origin"));
}

PyModuleDef* module_definition(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    void* init = handle ? dlsym(handle, "PyInit_" KQ2741_MODULE_NAME) : nullptr;
    if (!init) {
        PyErr_Format(PyExc_ImportError, "cannot load %s: %s", path, dlerror());
        return nullptr;
    }
    PyObject* def = reinterpret_cast<PyObject* (*)()>(init)();
    if (!def || !PyObject_TypeCheck(def, &PyModuleDef_Type)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, KQ2741_MODULE_NAME " does not use multi-phase initialisation");
        return nullptr;
    }
    return reinterpret_cast<PyModuleDef*>(def);
}

// importlib.machinery.ModuleSpec("__main__", None, origin=path)
Ref main_spec(Borrowed path) {
    Ref machinery = Ref::steal(PyImport_ImportModule("importlib.machinery"));
    if (!machinery) return {};
    Ref spec_type = Ref::steal(PyObject_GetAttrString(machinery.get(), "ModuleSpec"));
    if (!spec_type) return {};
    Ref args = Ref::steal(Py_BuildValue("(sO)", "__main__", Py_None));
    if (!args) return {};
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "origin", path));
    if (!kwargs) return {};
    return Ref::steal(PyObject_Call(spec_type.get(), args.get(), kwargs.get()));
}

// Creates the module as __main__ and executes it; the module's own code runs
// the demonstration when its name is __main__.
bool run_as_main() {
    Ref path = extension_path();
    if (!path) return false;
    const char* file = PyUnicode_AsUTF8(path.get());
    if (!file) return false;
    PyModuleDef* def = module_definition(file);
    if (!def) return false;
    Ref spec = main_spec(path.get());
    if (!spec) return false;
    Ref module = Ref::steal(PyModule_FromDefAndSpec(def, spec.get()));
    if (!module) return false;
    if (PyObject_SetAttrString(module.get(), "__file__", path.get()) < 0) return false;
    if (PyObject_SetAttrString(module.get(), "__spec__", spec.get()) < 0) return false;
    if (PyDict_SetItemString(PyImport_GetModuleDict(), "__main__", module.get()) < 0) return false;
    return PyModule_ExecDef(module.get(), def) == 0;
}

// sys.stdout.flush(), which Py_FinalizeEx would do too, but where a failure
// is only printed as "Exception ignored".
bool flush_stdout() {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (!out || out == Py_None) return true;
    return static_cast<bool>(Ref::steal(PyObject_CallMethod(out, "flush", nullptr)));
}

// The rest of the output goes nowhere: the text still buffered would fail
// again, loudly, at finalisation.
void discard_stdout() {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0) return;
    dup2(null, STDOUT_FILENO);
    close(null);
}

}  // namespace

int main(int argc, char** argv) {
    switch (parse_options(argc, argv)) {
        case Parsed::Done: return 0;
        case Parsed::Usage: return kExitUsage;
        case Parsed::Run: break;
    }
    // The demonstration reads its port from sys.argv[1]: the port alone
    // follows the program's name.
    argv[optind - 1] = argv[0];
    argc -= optind - 1;
    argv += optind - 1;

    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;  // the arguments are the demonstration's, not the interpreter's
    PyStatus status = PyConfig_SetBytesArgv(&config, argc, argv);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    int exit_code = 0;
    bool reader_gone = false;
    if (!run_as_main() || !flush_stdout()) {
        // CPython ignores SIGPIPE and raises BrokenPipeError instead.
        reader_gone = PyErr_ExceptionMatches(PyExc_BrokenPipeError);
        if (reader_gone) {
            PyErr_Clear();
            discard_stdout();
        } else {
            exit_code = 1;
            PyErr_Print();  // the traceback as Python prints it; exits itself on SystemExit
        }
    }
    if (Py_FinalizeEx() < 0) exit_code = 120;
    if (reader_gone) {
        // The status a shell shows for `... | head` (141): ended by SIGPIPE.
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE);
    }
    return exit_code;
}
