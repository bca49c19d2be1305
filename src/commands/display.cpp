// The two requests sent exactly as stored: the version query and the
// display's full-screen close.
#include "commands/answer.hpp"
#include "commands/commands.hpp"
#include "link/exchange.hpp"

namespace kq {

namespace {
constexpr Py_ssize_t kVersionAnswerLength = 10;
}

Ref read_device_version(const Call& call) noexcept {
    Ref frame = command_template(call, Cmd::ReadDevVer);
    Answer answer;
    if (!frame || !ask(call, frame.get(), false, answer)) return {};
    int framed = answer.framed();
    if (framed < 0) return {};
    if (!framed || answer.size() != kVersionAnswerLength) return Ref::borrow(Py_None);

    const Names& n = call.names();
    Ref version = Ref::steal(PyDict_New());
    if (!version) return {};
    const std::pair<PyObject*, Py_ssize_t> fields[] = {
        {n.key_module_version, 5}, {n.key_hard_version, 6}, {n.key_soft_version, 7}};
    for (auto [key, index] : fields) {
        Ref value = answer.item(index);
        if (!value || PyDict_SetItem(version.get(), key, value.get()) < 0) return {};
    }
    return version;
}

Ref close_full_screen(const Call& call) noexcept {
    Ref frame = command_template(call, Cmd::CloseFullscreen);
    Answer answer;
    if (!frame || !ask(call, frame.get(), false, answer)) return {};
    return framed_result(answer);
}

}  // namespace kq
