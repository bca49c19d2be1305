// The eight request frames the instrument understands, stored on the class
// as lists and patched in place by the operations that use them.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "link/ref.hpp"

namespace kq {

struct CommandTemplate {
    const char* attribute;              // class-private name as seen from outside
    std::span<const std::uint8_t> frame;
};

// Indices into kCommandTemplates, in the order the class binds them.
enum class Cmd {
    ReadDevVer,
    ReadOpticalLen,
    ReadCurrentStatus,
    CloseFullscreen,
    SetOpticalLen,
    SetAttenuation,
    ClearAttenuation,
    DisConnect,
};

inline constexpr size_t kCommandCount = 8;
extern const std::array<CommandTemplate, kCommandCount> kCommandTemplates;

// A new list holding the template's bytes.
Ref template_list(const CommandTemplate& tmpl) noexcept;

}  // namespace kq
