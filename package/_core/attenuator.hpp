// The objects Python sees: an Attenuator owns the port, and a Channel is one
// of its channels. Every operation holds the Attenuator's turn for all of
// its exchanges, so threads sharing one never mix their frames.
#pragma once

#include <cstdint>
#include <optional>

#include "line.hpp"
#include "protocol/operations.hpp"
#include "turn.hpp"

namespace kq2741::package {

struct AttenuatorObject {
    PyObject_HEAD
    State* st;
    PyObject* port;      // as given: a device name or a pyserial URL; null before __init__
    double timeout;      // seconds an exchange may take
    bool reconnect;      // a lost line is opened again by the next call
    bool opened;         // between open() and close(), lost or not
    Line* line;          // null while closed, or lost
    protocol::Exchanger* exchanger;  // what is in flight outlives a line
    Turnstile turn;
};

struct ChannelObject {
    PyObject_HEAD
    AttenuatorObject* attenuator;
    std::uint8_t number;
};

extern PyType_Spec attenuator_spec;
extern PyType_Spec channel_spec;

PyObject* new_channel(AttenuatorObject* att, std::uint8_t number);

}  // namespace kq2741::package
