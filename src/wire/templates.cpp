#include "wire/templates.hpp"

#include <cstdint>
#include <span>

#include "protocol/requests.hpp"

namespace kq2741::driver {

namespace {

namespace protocol = kq2741::protocol;

// Every template addresses channel 1 until an operation writes its own.
constexpr std::uint8_t kStoredChannel = 1;
constexpr std::uint8_t kStoredWavelengthIndex = 1;
constexpr std::uint16_t kStoredSteps = 500;  // 5.00 dB until the first use overwrites them

constexpr auto kVersion = protocol::version_request();
constexpr auto kWavelengthList = protocol::wavelength_list_request(kStoredChannel);
constexpr auto kStatus = protocol::status_request(kStoredChannel);
constexpr auto kFullScreenClose = protocol::full_screen_close_request();
constexpr auto kSelectWavelength = protocol::select_wavelength_request(kStoredChannel, kStoredWavelengthIndex);
constexpr auto kSetAttenuation = protocol::set_attenuation_request(kStoredChannel, kStoredSteps);
constexpr auto kClear = protocol::clear_request(kStoredChannel);
constexpr auto kDisconnect = protocol::disconnect_request(kStoredChannel);

// The checksums the instrument's command list gives for the stored frames.
static_assert(protocol::checksum_byte(kVersion) == 0x7C);
static_assert(protocol::checksum_byte(kWavelengthList) == 0x4A);
static_assert(protocol::checksum_byte(kStatus) == 0x35);
static_assert(protocol::checksum_byte(kFullScreenClose) == 0x7A);
static_assert(protocol::checksum_byte(kSelectWavelength) == 0x2F);
static_assert(protocol::checksum_byte(kSetAttenuation) == 0x38);
static_assert(protocol::checksum_byte(kClear) == 0x35);
static_assert(protocol::checksum_byte(kDisconnect) == 0x37);

std::span<const std::uint8_t> stored_frame(Template which) noexcept {
    switch (which) {
        case Template::Version: return kVersion;
        case Template::WavelengthList: return kWavelengthList;
        case Template::Status: return kStatus;
        case Template::FullScreenClose: return kFullScreenClose;
        case Template::SelectWavelength: return kSelectWavelength;
        case Template::SetAttenuation: return kSetAttenuation;
        case Template::Clear: return kClear;
        case Template::Disconnect: return kDisconnect;
    }
    return {};
}

}  // namespace

Ref template_list(Template which) noexcept {
    const std::span<const std::uint8_t> frame = stored_frame(which);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(frame.size())));
    if (!list) return {};
    for (size_t i = 0; i < frame.size(); ++i) {
        PyObject* byte = PyLong_FromLong(frame[i]);
        if (!byte) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), byte);
    }
    return list;
}

}  // namespace kq2741::driver
