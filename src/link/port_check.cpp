// Is the port free? On Windows a port can only be probed by opening it; on
// every other system `lsof <port>` lists the processes holding it, and an
// empty listing means free.
#include "link/driver.hpp"
#include "core/pyops.hpp"

namespace kq {

namespace {

constexpr const char kCheckFailed[] = "检查端口时出错: ";

// platform.system().lower() == "windows"
int on_windows(const Call& call) noexcept {
    const Names& n = call.names();
    Ref platform = load_global(call, n.g_platform);
    Ref name = platform ? call_method(platform.get(), n.system) : Ref();
    Ref lowered = name ? call_method(name.get(), n.lower) : Ref();
    return lowered ? PyObject_RichCompareBool(lowered.get(), n.windows, Py_EQ) : -1;
}

// serial.Serial(port).close(); only the serial library's own error means busy.
Ref probe_by_opening(const Call& call) noexcept {
    const Names& n = call.names();
    Ref serial = load_global(call, n.g_serial);
    Ref open_serial = serial ? get_attr(serial.get(), n.Serial) : Ref();
    Ref port = open_serial ? get_attr(call.self(), n.port) : Ref();
    Ref connection = port ? call_object(open_serial.get(), {port.get()}) : Ref();
    if (connection && call_method(connection.get(), n.close)) return Ref::borrow(Py_True);

    CaughtError error;
    error.fetch();
    serial = load_global(call, n.g_serial);
    Ref serial_exception = serial ? get_attr(serial.get(), n.SerialException) : Ref();
    if (!serial_exception) {
        error.chain_into_current();
        return {};
    }
    if (error.matches(serial_exception.get())) return Ref::borrow(Py_False);
    error.restore();
    return {};
}

// subprocess.run(["lsof", port], stdout=PIPE, stderr=PIPE).stdout is empty
Ref list_holders(const Call& call) noexcept {
    const Names& n = call.names();
    Ref subprocess = load_global(call, n.g_subprocess);
    Ref run = subprocess ? get_attr(subprocess.get(), n.run) : Ref();
    Ref port = run ? get_attr(call.self(), n.port) : Ref();
    Ref argv = port ? Ref::steal(PyList_New(2)) : Ref();
    if (!argv) return {};
    PyList_SET_ITEM(argv.get(), 0, Py_NewRef(n.lsof));
    PyList_SET_ITEM(argv.get(), 1, port.release());
    Ref out_pipe = get_attr(subprocess.get(), n.PIPE);
    Ref err_pipe = out_pipe ? get_attr(subprocess.get(), n.PIPE) : Ref();
    Ref result = err_pipe ? call_object(run.get(), {argv.get(), out_pipe.get(), err_pipe.get()}, call.st.run_kwnames)
                          : Ref();
    Ref listing = result ? get_attr(result.get(), n.stdout_) : Ref();
    if (!listing) return {};
    Py_ssize_t size = PyObject_Size(listing.get());
    if (size < 0) return {};
    return Ref::borrow(size == 0 ? Py_True : Py_False);
}

}  // namespace

Ref check_port_available(const Call& call) noexcept {
    int windows = on_windows(call);
    if (windows < 0) return {};
    if (windows) return probe_by_opening(call);

    Ref free = list_holders(call);
    if (free || !PyErr_ExceptionMatches(PyExc_Exception)) return free;
    CaughtError error;
    error.fetch();
    Ref empty = Ref::steal(PyUnicode_FromStringAndSize(nullptr, 0));
    Ref reason = empty ? Ref::steal(PyObject_Format(error.get(), empty.get())) : Ref();
    Ref text = reason ? Ref::steal(PyUnicode_FromFormat("%s%U", kCheckFailed, reason.get())) : Ref();
    if (!text || !print_line(call, text.get())) {
        error.chain_into_current();
        return {};
    }
    return Ref::borrow(Py_False);
}

}  // namespace kq
