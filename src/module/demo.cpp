// The demonstration: open the port, read the version, the wavelength lists
// and statuses of channels 1 and 2, set and clear their attenuation, close
// the full-screen display and the port. It runs in the module's globals
// (opat_port, kq, len_list, dev_status) the way a script's main block does.
// The port is the first command-line argument when one is given.
#include "module/demo.hpp"

#include "core/call.hpp"
#include "core/pyops.hpp"

namespace kq {

namespace {

class Demonstration {
public:
    explicit Demonstration(Borrowed module) noexcept
        : globals_(PyModule_GetDict(module)), call_{*state_of(module), module, nullptr} {}

    bool run() noexcept {
        Ref port = demo_port();
        if (!port || !set_global("opat_port", port.get())) return false;
        Ref cls = global("KQ2741");
        Ref kq = cls ? call_object(cls.get(), {port.get()}) : Ref();
        if (!kq || !set_global("kq", kq.get())) return false;
        kq_ = global("kq");
        Ref opened = kq_ ? kq_method("open", {}) : Ref();
        int ok = opened ? truth(opened.get()) : -1;
        if (ok < 0) return false;
        return ok ? drive() : report_failure();
    }

private:
    Ref demo_port() noexcept {
        PyObject* argv = PySys_GetObject("argv");  // borrowed
        if (argv && PyList_Check(argv) && PyList_GET_SIZE(argv) > 1) return Ref::borrow(PyList_GET_ITEM(argv, 1));
        return Ref::steal(PyUnicode_FromString(kDefaultPort));
    }

    bool set_global(const char* name, Borrowed value) noexcept {
        return PyDict_SetItemString(globals_, name, value) == 0;
    }

    Ref global(const char* name) noexcept {
        Ref key = Ref::steal(PyUnicode_InternFromString(name));
        return key ? load_global(call_, key.get()) : Ref();
    }

    int truth(Borrowed value) noexcept { return PyObject_IsTrue(value); }

    Ref kq_method(const char* name, std::initializer_list<long> args) noexcept {
        Ref method = Ref::steal(PyObject_GetAttrString(kq_.get(), name));
        if (!method) return {};
        Ref first = args.size() > 0 ? Ref::steal(PyLong_FromLong(*args.begin())) : Ref();
        Ref second = args.size() > 1 ? Ref::steal(PyLong_FromLong(*(args.begin() + 1))) : Ref();
        if (args.size() == 0) return call_object(method.get(), {});
        if (args.size() == 1) return first ? call_object(method.get(), {first.get()}) : Ref();
        return first && second ? call_object(method.get(), {first.get(), second.get()}) : Ref();
    }

    bool print(Borrowed value) noexcept { return print_line(call_, value); }

    bool print_text(const char* text) noexcept {
        Ref line = Ref::steal(PyUnicode_FromString(text));
        return line && print(line.get());
    }

    // kq.<method>(args) stored in the global `name` (when given) and printed
    bool read_and_print(const char* method, std::initializer_list<long> args, const char* name) noexcept {
        Ref value = kq_method(method, args);
        if (!value || (name && !set_global(name, value.get()))) return false;
        Ref shown = name ? global(name) : std::move(value);
        return shown && print(shown.get());
    }

    bool pause() noexcept {
        Ref time = global("time");
        Ref seconds = Ref::steal(PyLong_FromLong(5));
        return time && seconds && call_method(time.get(), call_.names().sleep, {seconds.get()});
    }

    bool drive() noexcept {
        if (!read_and_print("read_device_version", {}, nullptr)) return false;
        if (!read_and_print("read_optical_length", {1}, "len_list")) return false;
        if (!read_and_print("read_optical_length", {2}, "len_list")) return false;
        if (!read_and_print("read_current_status", {1}, "dev_status")) return false;
        if (!read_and_print("read_current_status", {2}, "dev_status")) return false;
        if (!kq_method("set_attenuation", {1100, 1}) || !kq_method("set_attenuation", {1100, 2})) return false;
        if (!pause()) return false;
        if (!kq_method("clear_attenuation", {1}) || !kq_method("clear_attenuation", {2})) return false;
        if (!pause()) return false;
        Ref closed = kq_method("close_full_screen", {});
        if (!closed) return false;
        int succeeded = truth(closed.get());
        if (succeeded < 0 || (succeeded && !print_text("succ close full screen!"))) return false;
        return static_cast<bool>(kq_method("close", {}));
    }

    bool report_failure() noexcept {
        Ref port = global("opat_port");
        Ref name = port ? Ref::steal(PyObject_Str(port.get())) : Ref();
        Ref text = name ? Ref::steal(PyUnicode_FromFormat("open serial port:%U failed!", name.get())) : Ref();
        return text && print(text.get());
    }

    Borrowed globals_;
    Call call_;
    Ref kq_;
};

}  // namespace

int run_demonstration(Borrowed module) noexcept { return Demonstration(module).run() ? 0 : -1; }

}  // namespace kq
