// What kq2741ctl prints on stdout: aligned text for people, or JSON Lines
// (one object a record) for scripts. Keys are only ever added, never renamed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol/answers.hpp"

namespace kq2741::ctl {

class Output {
public:
    explicit Output(bool json) : json_(json) {}

    void version(const kq2741::protocol::Version& v) const;
    void wavelengths(std::uint8_t channel, const std::vector<std::uint16_t>& nm) const;
    void status(std::uint8_t channel, const kq2741::protocol::Status& s) const;
    void set(std::uint8_t channel, std::uint32_t mdb) const;
    void cleared(std::uint8_t channel) const;
    void selected(std::uint8_t channel, std::uint16_t nm) const;
    void disconnected(std::uint8_t channel) const;
    void display_closed() const;
    void sweep_point(std::uint8_t channel, std::uint32_t set_mdb, std::uint32_t read_mdb) const;
    void raw(std::span<const std::uint8_t> sent, std::span<const std::uint8_t> received) const;

private:
    // Prints one record and flushes it, so a pipe sees each as it happens;
    // throws a Failure (Exit::Local) when it cannot be written.
    void emit(const std::string& json, const std::string& text) const;

    bool json_;
};

}  // namespace kq2741::ctl
