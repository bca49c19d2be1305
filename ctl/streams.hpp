// kq2741ctl's own standard streams: never the port, and never failing quietly.
#pragma once

namespace kq2741::ctl::streams {

// Puts /dev/null on each of the descriptors 0, 1 and 2 that is closed, so
// the port cannot be opened as one of them (and get our text written into
// it). It is opened the wrong way round (stdin write-only, stdout and stderr
// read-only), as gnulib's stdopen does: using a stream that was closed still
// fails. False when even that is impossible. Call it before anything else.
bool keep_standard_descriptors();

// Throws a Failure (Exit::Local) when something written to stdout was lost:
// a closed stdout, a full disk, /dev/full.
void check_stdout();
// The same for stdin, read by batch.
void check_stdin();

// message on stderr as one line: control characters (a newline typed into
// an argument) are shown as escapes.
void report(const char* message);

}  // namespace kq2741::ctl::streams
