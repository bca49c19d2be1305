// A call of one of the class's methods, from the interpreter to the body its
// row of the method table names: the arguments are accepted as compiled
// Python accepts them (by position or keyword, exact types, the row's
// defaults), found by what they are (Arg), and the body runs holding the
// module's operation lock (core/state.hpp) when the row says so.
#include "cpython/lock_wait.hpp"
#include "surface/method_object.hpp"

namespace kq2741::driver {

namespace {

// --- the operation lock ---

// Re-entrant: the thread that holds it takes it again.
bool lock_acquire(OperationLock& lock) noexcept {
    const unsigned long me = PyThread_get_thread_ident();
    if (lock.depth > 0 && lock.owner == me) {
        ++lock.depth;
        return true;
    }
    if (!cpython::wait_for_lock(lock.mutex)) return false;
    lock.owner = me;
    lock.depth = 1;
    return true;
}

// Holds the lock for its own lifetime, when it got it; releasing touches no
// Python state.
class HeldLock {
public:
    explicit HeldLock(OperationLock& lock) noexcept : lock_(lock_acquire(lock) ? &lock : nullptr) {}
    ~HeldLock() {
        if (lock_ && --lock_->depth == 0) PyThread_release_lock(lock_->mutex);
    }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    explicit operator bool() const noexcept { return lock_ != nullptr; }

private:
    OperationLock* lock_;
};

// --- argument rules ---

// "takes exactly/at least/at most N positional argument(s) (M given)"
void raise_count_error(const MethodSpec& spec, Py_ssize_t given) noexcept {
    const Py_ssize_t total = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t required = spec.required();
    const char* bound = given < required ? "at least" : "at most";
    Py_ssize_t expected = given < required ? required : total;
    if (required == total) bound = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name, bound,
                 expected, expected == 1 ? "" : "s", given);
}

// Keywords in a call are interned by the compiler, as are the parameter
// names, so identity settles almost every match.
bool same_name(Borrowed keyword, Borrowed param_names, Py_ssize_t i, const MethodSpec& spec) noexcept {
    return keyword == PyTuple_GET_ITEM(param_names, i) ||
           PyUnicode_CompareWithASCIIString(keyword, spec.params[static_cast<size_t>(i)].name) == 0;
}

// Index of the parameter the keyword names, or -1.
Py_ssize_t parameter_index(const MethodSpec& spec, Borrowed param_names, Borrowed keyword) noexcept {
    const Py_ssize_t total = static_cast<Py_ssize_t>(spec.params.size());
    for (Py_ssize_t i = 0; i < total; ++i)
        if (same_name(keyword, param_names, i, spec)) return i;
    return -1;
}

// Each typed parameter must be exactly of its declared type.
bool check_types(const MethodSpec& spec, PyObject* const* values) noexcept {
    for (size_t i = 0; i < spec.params.size(); ++i) {
        PyTypeObject* type = python_type(spec.params[i].type);
        if (type && Py_TYPE(values[i]) != type) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         spec.params[i].name, type->tp_name, Py_TYPE(values[i])->tp_name);
            return false;
        }
    }
    return true;
}

// Fills `out` (one slot per parameter, borrowed references) from a vectorcall.
// `param_names` holds the parameters' interned names, which keywords are
// matched against by identity first; `defaults` holds the values of the
// trailing parameters that have one. False with TypeError set when the call
// does not fit the method.
bool parse_arguments(const MethodSpec& spec, Borrowed param_names, Borrowed defaults, PyObject* const* args,
                     size_t nargsf, Borrowed kwnames, PyObject** out) noexcept {
    const Py_ssize_t total = static_cast<Py_ssize_t>(spec.params.size());
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (!kwnames && given == total) {  // the usual call: everything by position
        for (Py_ssize_t i = 0; i < total; ++i) out[i] = args[i];
        return check_types(spec, out);
    }
    const Py_ssize_t required = spec.required();
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (given > total || (keywords == 0 && given < required)) {
        raise_count_error(spec, given);
        return false;
    }
    for (Py_ssize_t i = 0; i < total; ++i) out[i] = i < given ? args[i] : nullptr;

    if (keywords > 0) {
        PyObject* const* values = args + given;
        // Keyword parameters in parameter order; a missing required one is
        // reported with the count of parameters found before it.
        Py_ssize_t used = 0;
        for (Py_ssize_t i = given; i < total; ++i) {
            for (Py_ssize_t k = 0; k < keywords; ++k) {
                if (same_name(PyTuple_GET_ITEM(kwnames, k), param_names, i, spec)) {
                    out[i] = values[k];
                    ++used;
                    break;
                }
            }
            if (!out[i] && !spec.params[i].has_default) {
                raise_count_error(spec, i);
                return false;
            }
        }
        if (used < keywords) {
            for (Py_ssize_t k = 0; k < keywords; ++k) {
                Borrowed keyword = PyTuple_GET_ITEM(kwnames, k);
                Py_ssize_t index = parameter_index(spec, param_names, keyword);
                if (index >= given) continue;
                if (index >= 0)
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name,
                                 keyword);
                else
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, keyword);
                return false;
            }
        }
    }

    // Trailing parameters left out take the stored defaults.
    const Py_ssize_t first_default = total - (defaults ? PyTuple_GET_SIZE(defaults) : 0);
    for (Py_ssize_t i = first_default; i < total; ++i)
        if (!out[i]) out[i] = PyTuple_GET_ITEM(defaults, i - first_default);

    return check_types(spec, out);
}

}  // namespace

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    MethodObject* method = reinterpret_cast<MethodObject*>(callable);
    const MethodSpec& spec = *method->spec;
    PyObject* values[kMaxParams];
    if (!parse_arguments(spec, method->param_names, method->defaults, args, nargsf, kwnames, values)) return nullptr;
    ModuleState& st = *method->state;
    Call call{st, method->module, {}};
    for (size_t i = 0; i < spec.params.size(); ++i) call.args[static_cast<size_t>(spec.params[i].arg)] = values[i];
    if (spec.guard == Guard::None) return spec.body(call).release();
    HeldLock held(st.lock);
    if (!held) return nullptr;
    return spec.body(call).release();
}

}  // namespace kq2741::driver
