#include "link/templates.hpp"

#include <cstdint>
#include <span>

namespace kq {

namespace {
// start, channel, length, command code (2), payload, checksum, end
constexpr std::uint8_t kReadDevVer[] = {0x7B, 0x01, 0x05, 0x00, 0x03, 0x7C, 0x7D};
constexpr std::uint8_t kReadOpticalLen[] = {0x7B, 0x01, 0x05, 0x07, 0x2E, 0x4A, 0x7D};
constexpr std::uint8_t kReadCurrentStatus[] = {0x7B, 0x01, 0x05, 0x14, 0x36, 0x35, 0x7D};
constexpr std::uint8_t kCloseFullscreen[] = {0x7B, 0x01, 0x05, 0x00, 0x05, 0x7A, 0x7D};
constexpr std::uint8_t kSetOpticalLen[] = {0x7B, 0x01, 0x06, 0x14, 0x3A, 0x01, 0x2F, 0x7D};
// 500 steps (5.00 dB) until the first use overwrites them
constexpr std::uint8_t kSetAttenuation[] = {0x7B, 0x01, 0x07, 0x14, 0x3C, 0xF4, 0x01, 0x38, 0x7D};
// clear and disconnect share a command code; the payload tells them apart
constexpr std::uint8_t kClearAttenuation[] = {0x7B, 0x01, 0x07, 0x14, 0x34, 0x00, 0x00, 0x35, 0x7D};
constexpr std::uint8_t kDisConnect[] = {0x7B, 0x01, 0x07, 0x14, 0x34, 0xFF, 0xFF, 0x37, 0x7D};
// Indexed by Cmd.
constexpr std::span<const std::uint8_t> kFrames[] = {
    kReadDevVer, kReadOpticalLen, kReadCurrentStatus, kCloseFullscreen,
    kSetOpticalLen, kSetAttenuation, kClearAttenuation, kDisConnect,
};
static_assert(std::size(kFrames) == kCommandCount);

}  // namespace

Ref template_list(Cmd cmd) noexcept {
    std::span<const std::uint8_t> frame = kFrames[static_cast<size_t>(cmd)];
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(frame.size())));
    if (!list) return {};
    for (size_t i = 0; i < frame.size(); ++i) {
        PyObject* byte = PyLong_FromLong(frame[i]);
        if (!byte) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), byte);
    }
    return list;
}

}  // namespace kq
