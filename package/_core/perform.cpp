#include "perform.hpp"

#include <chrono>

#include "cpython/raised.hpp"

namespace kq2741::package {
namespace {

constexpr int kDebug = 10;  // logging.DEBUG

using protocol::Fault;

// type(message, detail) or type(message): the package's errors take the
// answer's bytes, or its status byte, after the message.
void raise_error(PyObject* type, const std::string& message, PyObject* detail = nullptr) {
    Ref text = Ref::steal(PyUnicode_FromString(message.c_str()));
    if (!text) return;
    Ref error = Ref::steal(detail ? PyObject_CallFunctionObjArgs(type, text.get(), detail, nullptr)
                                  : PyObject_CallOneArg(type, text.get()));
    if (error) PyErr_SetObject(type, error.get());
}

void raise_with_frame(PyObject* type, const protocol::Failure& f) {
    Ref frame = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(f.frame.data()),
                                                     static_cast<Py_ssize_t>(f.frame.size())));
    if (frame) raise_error(type, f.message, frame.get());
}

void raise_fault(const State& st, const protocol::Failure& f) {
    switch (f.fault) {
    case Fault::NoAnswer:
    case Fault::Unanswered:
    case Fault::SendTimedOut: raise_error(st.no_answer, f.message); return;
    case Fault::BadChecksum:
    case Fault::Misshapen: raise_with_frame(st.bad_answer, f); return;
    case Fault::Refused: {
        Ref status = Ref::steal(PyLong_FromLong(f.status));
        if (status) raise_error(st.refused, f.message, status.get());
        return;
    }
    case Fault::Unsupported: PyErr_SetString(PyExc_ValueError, f.message.c_str()); return;
    case Fault::LineFailed:
    case Fault::Interrupted: return;  // set by the line, or by the signal's handler
    }
}

bool debug_on(const State& st, bool& on) {
    Ref level = Ref::steal(PyLong_FromLong(kDebug));
    if (!level) return false;
    Ref answer = Ref::steal(PyObject_CallMethodOneArg(st.logger, st.names.is_enabled_for, level.get()));
    if (!answer) return false;
    const int truth = PyObject_IsTrue(answer.get());
    on = truth == 1;
    return truth >= 0;
}

// One DEBUG line a frame: "tx 7B 01 05 14 36 35 7D | status on channel 1".
bool log_transcript(const State& st, const Transcript& transcript) {
    for (const auto& e : transcript.entries) {
        const std::string line = std::string(e.direction) + " " + protocol::hex(e.bytes) + " | " + e.note;
        Ref text = Ref::steal(PyUnicode_FromString(line.c_str()));
        if (!text || !Ref::steal(PyObject_CallMethodOneArg(st.logger, st.names.debug, text.get()))) return false;
    }
    return true;
}

}  // namespace

void Transcript::sent(std::span<const std::uint8_t> frame, std::string_view note) {
    entries.push_back({"tx", protocol::Bytes(frame.begin(), frame.end()), std::string(note)});
}

void Transcript::dropped(std::span<const std::uint8_t> bytes, std::string_view note) {
    entries.push_back({"--", protocol::Bytes(bytes.begin(), bytes.end()), std::string(note)});
}

void Transcript::received(std::span<const std::uint8_t> bytes, std::string_view note) {
    entries.push_back({"rx", protocol::Bytes(bytes.begin(), bytes.end()), std::string(note)});
}

Attempt::Attempt(AttenuatorObject* att) : att_(att) {}

Attempt::~Attempt() {
    if (!logging_ || transcript_.entries.empty()) return;
    // Logged whatever the outcome: a set the instrument took before Ctrl-C
    // or a line error still shows its tx line. A logging failure (a filter
    // that raises) is reported, and changes nothing of the outcome.
    Ref pending = cpython::take_raised();
    if (!log_transcript(*att_->st, transcript_)) PyErr_WriteUnraisable(att_->st->logger);
    cpython::raise_again(std::move(pending));
}

bool Attempt::ready() {
    const State& st = *att_->st;
    if (!att_->opened) {
        PyErr_SetNone(st.port_not_open);
        return false;
    }
    if (!asked_logger_) {
        asked_logger_ = true;
        if (!debug_on(st, logging_)) return false;
    }
    if (att_->line) return true;
    std::unique_ptr<Line> line = open_line(st, att_->port);
    if (!line) return false;
    att_->line = line.release();
    return true;
}

protocol::Operations Attempt::operations() {
    const auto timeout = std::chrono::duration_cast<protocol::Clock::duration>(
        std::chrono::duration<double>(att_->timeout));
    return protocol::Operations(*att_->exchanger, att_->line->transport(), timeout, logging_ ? &transcript_ : nullptr);
}

bool Attempt::retry_after(const protocol::Failure& failure) {
    if (failure.fault != Fault::LineFailed) {
        raise_fault(*att_->st, failure);
        return false;
    }
    att_->line->raise_failure();
    if (!att_->reconnect) return false;
    // The port failed (adapter pulled, simulator gone): given up, and opened
    // again by name from the next call on, or at once when nothing of this
    // operation's request went out yet.
    Ref error = cpython::take_raised();
    if (!drop_line(att_)) PyErr_Clear();
    if (failure.request_sent || retried_) {
        cpython::raise_again(std::move(error));
        return false;
    }
    retried_ = true;
    return true;
}

bool drop_line(AttenuatorObject* att) {
    Line* line = att->line;
    att->line = nullptr;
    if (!line) return true;
    const bool closed = line->close();
    delete line;
    return closed;
}

}  // namespace kq2741::package
