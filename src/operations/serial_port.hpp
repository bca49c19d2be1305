// What open() and the port check share: a serial connection to the object's
// port, telling the serial library's own error from any other, and the one
// line printed when the port is refused.
#pragma once

#include <initializer_list>

#include "core/call.hpp"
#include "core/python_ops.hpp"

namespace kq2741::driver {

// serial.Serial(self.port, *args, **dict(zip(kwnames, trailing args))),
// with serial, Serial and port looked up now.
Ref open_serial(const Call& call, std::initializer_list<Borrowed> args = {}, Borrowed kwnames = nullptr) noexcept;

// Whether `error` is a serial.SerialException (looked up now): 1 or 0; -1
// when the lookup fails, which is raised with `error` as its context.
int is_serial_error(const Call& call, CaughtError& error) noexcept;

// How the caught exception becomes the text of the line.
enum class Reason {
    Str,     // str(e)
    Format,  // format(e, ""), as an f-string puts it
};

// print(prefix + reason(error)), then False. When building or printing the
// line fails, that error is raised with `error` as its context, as inside an
// `except` block.
Ref print_refusal(const Call& call, CaughtError& error, const char* prefix, Reason reason) noexcept;

}  // namespace kq2741::driver
