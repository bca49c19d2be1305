#include "trace.hpp"

#include <cstdio>

#include "protocol/frame.hpp"

namespace kq2741::ctl {

void Trace::line(const char* what, std::span<const std::uint8_t> bytes, const std::string& note) const {
    if (!on_) return;
    // Microseconds: one exchange on a pty takes a fraction of a millisecond.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - started_);
    const std::string h = kq2741::protocol::hex(bytes);
    std::fprintf(stderr, "kq2741ctl [%10.6f] %s %s%s%s\n", static_cast<double>(us.count()) / 1e6, what,
                 h.c_str(), h.empty() ? "" : " | ", note.c_str());
    std::fflush(stderr);
}

}  // namespace kq2741::ctl
