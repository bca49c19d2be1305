// The version query: the one answer with a fixed length, read field by field.
#include "operations/operations.hpp"
#include "protocol/answers.hpp"
#include "wire/exchange.hpp"

namespace kq2741::driver {

namespace {

using namespace kq2741::protocol;

constexpr Py_ssize_t kVersionAnswerSize = kFrameOverhead + version_field::kSize;

}  // namespace

Ref read_device_version(const Call& call) noexcept {
    Ref frame = command_template(call, Template::Version);
    if (!frame) return {};
    Answer answer;
    if (!exchange(call, frame.get(), Checksum::AsStored, answer)) return {};
    int framed = answer.framed();
    if (framed < 0) return {};
    if (!framed || answer.size() != kVersionAnswerSize) return Ref::borrow(Py_None);

    const ResultKeys& keys = call.st.keys;
    Ref version = Ref::steal(PyDict_New());
    if (!version) return {};
    const std::pair<PyObject*, std::size_t> fields[] = {
        {keys.module_version, version_field::kModule},
        {keys.hard_version, version_field::kHardware},
        {keys.soft_version, version_field::kSoftware},
    };
    for (auto [key, field] : fields) {
        Ref value = answer.item(payload_at(field));
        if (!value) return {};
        if (PyDict_SetItem(version.get(), key, value.get()) < 0) return {};
    }
    return version;
}

}  // namespace kq2741::driver
