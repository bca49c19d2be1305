// Is the port free? On Windows a port can only be probed by opening it; on
// every other system `lsof <port>` lists the processes holding it, and an
// empty listing means free.
#include "operations/operations.hpp"
#include "operations/serial_port.hpp"

namespace kq2741::driver {

namespace {

constexpr char kCheckFailed[] = "检查端口时出错: ";

// platform.system().lower() == "windows"
int on_windows(const Call& call) noexcept {
    Ref platform = load_global(call, call.st.globals.platform);
    if (!platform) return -1;
    Ref name = call_method(platform.get(), call.st.python.system);
    if (!name) return -1;
    Ref lowered = call_method(name.get(), call.st.python.lower);
    if (!lowered) return -1;
    return PyObject_RichCompareBool(lowered.get(), call.st.texts.windows, Py_EQ);
}

// serial.Serial(port).close(); only the serial library's own error means busy.
Ref probe_by_opening(const Call& call) noexcept {
    Ref connection = open_serial(call);
    if (connection && call_method(connection.get(), call.st.serial.close)) return Ref::borrow(Py_True);
    CaughtError error;
    error.fetch();
    int serial_error = is_serial_error(call, error);
    if (serial_error < 0) return {};
    if (serial_error) return Ref::borrow(Py_False);
    error.restore();
    return {};
}

// subprocess.run(["lsof", port], stdout=PIPE, stderr=PIPE).stdout is empty
Ref list_holders(const Call& call) noexcept {
    Ref subprocess;
    Ref run = load_global_attr(call, call.st.globals.subprocess, call.st.python.run, &subprocess);
    if (!run) return {};
    Ref port = get_attr(call.self(), call.st.object.port);
    if (!port) return {};
    Ref argv = Ref::steal(PyList_New(2));
    if (!argv) return {};
    PyList_SET_ITEM(argv.get(), 0, Py_NewRef(call.st.texts.lsof));
    PyList_SET_ITEM(argv.get(), 1, port.release());
    Ref out_pipe = get_attr(subprocess.get(), call.st.python.PIPE);
    if (!out_pipe) return {};
    Ref err_pipe = get_attr(subprocess.get(), call.st.python.PIPE);
    if (!err_pipe) return {};
    Ref result = call_object(run.get(), {argv.get(), out_pipe.get(), err_pipe.get()}, call.st.run_kwnames);
    if (!result) return {};
    Ref listing = get_attr(result.get(), call.st.python.stdout_);
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
    return print_refusal(call, error, kCheckFailed, Reason::Format);
}

}  // namespace kq2741::driver
