// How an operation talks to the instrument: it takes a command template from
// the object, writes its values into the template's bytes, and makes one
// exchange with it: the frame written to the object's `ser`, the fixed wait,
// and what arrived by then read back as the answer.
#pragma once

#include "core/call.hpp"
#include "protocol/frame.hpp"

namespace kq2741::driver {

// self.<the template's attribute>, looked up through the object, so that an
// instance or a subclass may replace it.
Ref command_template(const Call& call, Template which) noexcept;

// Where the operations write into a template: the channel byte, and the
// payload (a 16-bit value's low byte first).
inline constexpr Py_ssize_t kChannelByte = kq2741::protocol::kChannelAt;
inline constexpr Py_ssize_t kPayloadByte = kq2741::protocol::kPayloadAt;

// What the instrument sent back, seen as the list of byte values the
// operations read by position: `list(read_bytes)` when anything was read.
// A bytes answer (what the serial library returns) is read straight from its
// buffer; anything else a connection hands back is turned into a list first.
class Answer {
public:
    // False with an exception set when the read result cannot become a list.
    bool load(Borrowed read_bytes) noexcept;

    Py_ssize_t size() const noexcept;                            // 0 when buf is None
    Ref item(Py_ssize_t index) const noexcept;                   // buf[index]
    int item_equals(Py_ssize_t index, long value) const noexcept;

    // buf and buf[0] == 0x7B and buf[-1] == 0x7D
    int framed() const noexcept;

private:
    Ref bytes_;
    Ref list_;
};

// Position in an answer of a field of its payload (protocol/answers.hpp).
constexpr Py_ssize_t payload_at(std::size_t field) noexcept {
    return static_cast<Py_ssize_t>(kq2741::protocol::kPayloadAt + field);
}

// Whether the exchange recomputes the frame's checksum before sending: a
// template the operation has patched needs it, one sent as stored does not.
enum class Checksum { AsStored, Recompute };

// One exchange of `frame`: self.__cal_crc(frame) when asked to, input already
// waiting dropped, ser.write(frame), time.sleep(0.2), then self.__read()
// loaded into `answer`. False with an exception set on failure.
bool exchange(const Call& call, Borrowed frame, Checksum checksum, Answer& answer) noexcept;

// The exchange of every operation on one channel: frame[1] = ch, then the
// exchange with the checksum recomputed.
bool exchange_on_channel(const Call& call, Borrowed frame, Answer& answer) noexcept;

// The settings that only report success: exchange_on_channel(), then True
// when the answer came back framed, else False.
Ref send_on_channel(const Call& call, Borrowed frame) noexcept;

// The query `which` on the call's channel: 1 when its answer came back
// framed, 0 when it did not (the query gives None), -1 with an exception set.
int query_channel(const Call& call, Template which, Answer& answer) noexcept;

// The answer's truth value for the operations that report success.
Ref framed_result(const Answer& answer) noexcept;

// Body of __read: every byte waiting on `ser`, or None when none is.
Ref read_waiting(const Call& call) noexcept;

}  // namespace kq2741::driver
