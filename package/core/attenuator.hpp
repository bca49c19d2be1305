// The objects Python sees: an Attenuator owns the port, and a Channel is one
// of its channels. Every operation holds the Attenuator's lock for all of its
// exchanges, so threads sharing one never mix their frames.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "line.hpp"

namespace kqctl {

struct AttenuatorObject {
    PyObject_HEAD
    State* st;
    PyObject* port;     // as given: a device name or a pyserial URL
    double timeout;     // seconds an exchange may take
    PyObject* serial;   // the open serial object; null while closed
    Line* line;         // null while closed
    PyThread_type_lock lock;  // taken through Turn
};

struct ChannelObject {
    PyObject_HEAD
    AttenuatorObject* attenuator;
    std::uint8_t number;
};

extern PyType_Spec attenuator_spec;
extern PyType_Spec channel_spec;

// The operations of both objects, in exchange.cpp. Each returns empty or
// false with an exception set: NoAnswer, BadAnswer, Refused, the serial
// library's own, or KeyboardInterrupt.

// The verified answer to request. The caller holds the lock.
std::optional<protocol::Received> ask(AttenuatorObject* att, std::span<const std::uint8_t> request);
// ask() for a request answered with an acknowledgement whose status byte must be 0.
bool ask_acknowledged(AttenuatorObject* att, std::span<const std::uint8_t> request);
// BadAnswer for an answer that does not have its command's shape.
void misshapen(const State& st, const protocol::Received& answer);

PyObject* new_channel(AttenuatorObject* att, std::uint8_t number);

}  // namespace kqctl
