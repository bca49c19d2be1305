// One verified exchange on an Attenuator's line, and the exceptions that
// say why there is no answer.
#include <chrono>
#include <cstdio>

#include "attenuator.hpp"
#include "protocol/answers.hpp"

namespace kqctl {
namespace {

constexpr int kDebug = 10;  // logging.DEBUG

// Raises type(message, frame) or type(message): the package's errors take
// the answer's bytes, or its status byte, after the message.
void raise_error(PyObject* type, const std::string& message, PyObject* detail = nullptr) {
    Ref text = Ref::steal(PyUnicode_FromString(message.c_str()));
    if (!text) return;
    Ref error = Ref::steal(detail ? PyObject_CallFunctionObjArgs(type, text.get(), detail, nullptr)
                                  : PyObject_CallOneArg(type, text.get()));
    if (error) PyErr_SetObject(type, error.get());
}

Ref frame_bytes(const protocol::Received& r) {
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(r.raw.data()),
                                                static_cast<Py_ssize_t>(r.raw.size())));
}

bool debug_on(const State& st) {
    Ref on = Ref::steal(PyObject_CallMethod(st.logger, "isEnabledFor", "i", kDebug));
    if (!on) return false;
    return PyObject_IsTrue(on.get()) == 1;
}

// One DEBUG line a frame: "tx 7B 01 05 14 36 35 7D | status on channel 1".
bool log_transcript(const State& st, const Transcript& transcript) {
    for (const auto& e : transcript.entries) {
        const std::string line = std::string(e.direction) + " " + protocol::hex(e.bytes) + " | " + e.note;
        if (!Ref::steal(PyObject_CallMethod(st.logger, "debug", "s", line.c_str()))) return false;
    }
    return true;
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

}  // namespace

std::optional<protocol::Received> ask(AttenuatorObject* att, std::span<const std::uint8_t> request) {
    const State& st = *att->st;
    if (!att->line) {
        PyErr_SetNone(st.port_not_open);
        return std::nullopt;
    }
    Transcript transcript;
    const bool logging = debug_on(st);
    if (PyErr_Occurred()) return std::nullopt;

    protocol::AnswerSearch search(request);
    const auto timeout = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(att->timeout));
    protocol::Bytes partial;
    if (!att->line->exchange(request, search, timeout, logging ? &transcript : nullptr, partial)) return std::nullopt;
    if (logging && !log_transcript(st, transcript)) return std::nullopt;
    if (search.answered()) return search.answer();

    const std::string asked = protocol::describe(request[protocol::kChannelAt], protocol::code_of(request));
    if (const auto& bad = search.bad_checksum()) {
        Ref frame = frame_bytes(*bad);
        if (frame) raise_error(st.bad_answer, "answer to " + asked + " has a bad checksum: " + protocol::hex(bad->raw),
                         frame.get());
        return std::nullopt;
    }
    std::string message = "no answer to " + asked + " within " + seconds_text(att->timeout) + " s";
    if (const auto& stray = search.stray())
        message += ", only a frame answering " + protocol::describe(stray->frame.channel, stray->frame.code) +
                   ": " + protocol::hex(stray->raw);
    else if (!partial.empty())
        message += " (incomplete: " + protocol::hex(partial) + ")";
    raise_error(st.no_answer, message + ": check the port, the cable and that the instrument is on");
    return std::nullopt;
}

void misshapen(const State& st, const protocol::Received& answer) {
    Ref frame = frame_bytes(answer);
    if (!frame) return;
    raise_error(st.bad_answer,
          protocol::describe(answer.frame.channel, answer.frame.code) +
              " answer does not have the expected shape: " + protocol::hex(answer.raw),
          frame.get());
}

bool ask_acknowledged(AttenuatorObject* att, std::span<const std::uint8_t> request) {
    const auto answer = ask(att, request);
    if (!answer) return false;
    const auto status = protocol::decode_ack(answer->frame.payload);
    if (!status) {
        misshapen(*att->st, *answer);
        return false;
    }
    if (*status == static_cast<std::uint8_t>(protocol::Ack::Ok)) return true;
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02X", *status);
    Ref code = Ref::steal(PyLong_FromLong(*status));
    if (code)
        raise_error(att->st->refused,
              "the instrument refused " + protocol::describe(answer->frame.channel, answer->frame.code) +
                  ": status " + byte + " (" + protocol::ack_meaning(*status) + ")",
              code.get());
    return false;
}

}  // namespace kqctl
