// The demonstration: open the port, read the version, the wavelength lists
// and statuses of channels 1 and 2, set and clear their attenuation, close
// the full-screen display and the port. It runs in the module's globals
// (opat_port, kq, len_list, dev_status) the way a script's main block does.
// The port is the first command-line argument when one is given.
#include "surface/demo.hpp"

#include <array>

#include "core/call.hpp"
#include "core/python_ops.hpp"

namespace kq2741::driver {

namespace {

constexpr long kPauseSeconds = 5;

class Demonstration {
public:
    explicit Demonstration(Borrowed module) noexcept
        : globals_(PyModule_GetDict(module)), call_{*state_of(module), module, {}} {}

    bool run() noexcept {
        Ref port = demo_port();
        if (!port || !set_global("opat_port", port.get())) return false;
        Ref cls = global(kClassName);
        if (!cls) return false;
        Ref kq = call_object(cls.get(), {port.get()});
        if (!kq || !set_global("kq", kq.get())) return false;
        kq_ = global("kq");
        if (!kq_) return false;
        Ref opened = kq_method("open", {});
        if (!opened) return false;
        int ok = truth(opened.get());
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
        if (!key) return {};
        return load_global(call_, key.get());
    }

    int truth(Borrowed value) noexcept { return PyObject_IsTrue(value); }

    // kq.<name>(*args): the method looked up first, then the numbers made.
    Ref kq_method(const char* name, std::initializer_list<long> args) noexcept {
        Ref method = Ref::steal(PyObject_GetAttrString(kq_.get(), name));
        if (!method) return {};
        std::array<Ref, 2> numbers;
        std::array<Borrowed, 2> borrowed{};
        size_t count = 0;
        for (long value : args) {
            if (count == numbers.size()) break;
            numbers[count] = Ref::steal(PyLong_FromLong(value));
            if (!numbers[count]) return {};
            borrowed[count] = numbers[count].get();
            ++count;
        }
        return call_object(method.get(), std::span<const Borrowed>(borrowed.data(), count));
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
        Ref time = load_global(call_, call_.st.globals.time);
        if (!time) return false;
        Ref seconds = Ref::steal(PyLong_FromLong(kPauseSeconds));
        return seconds && call_method(time.get(), call_.st.python.sleep, {seconds.get()});
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
        if (!port) return false;
        Ref name = Ref::steal(PyObject_Str(port.get()));
        if (!name) return false;
        Ref text = Ref::steal(PyUnicode_FromFormat("open serial port:%U failed!", name.get()));
        return text && print(text.get());
    }

    Borrowed globals_;
    Call call_;
    Ref kq_;
};

}  // namespace

int run_demonstration(Borrowed module) noexcept { return Demonstration(module).run() ? 0 : -1; }

}  // namespace kq2741::driver
