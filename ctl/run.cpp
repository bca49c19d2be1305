#include "run.hpp"

#include <iterator>
#include <sstream>
#include <thread>

#include "failure.hpp"
#include "protocol/units.hpp"
#include "values.hpp"

namespace kq2741::ctl {
namespace {

using namespace kq2741::protocol;

void sweep(Session& session, const Output& out, std::uint8_t channel, const Sweep& sweep) {
    auto& ops = session.operations();
    const auto points = sweep_points(sweep);
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i > 0 && sweep.dwell.count() > 0) std::this_thread::sleep_for(sweep.dwell);
        session.check(ops.set_attenuation(channel, steps_from_mdb(points[i])));
        const std::uint32_t read_back = mdb_from_steps(session.check(ops.status(channel)).attenuation_steps);
        out.sweep_point(channel, points[i], read_back);
        if (read_back != points[i])
            throw Failure(Exit::Answer, "channel " + std::to_string(channel) + " reads back " +
                                            db_text(steps_from_mdb(read_back)) + " dB after being set to " +
                                            db_text(steps_from_mdb(points[i])) + " dB");
    }
}

// A failed batch line says what already happened: its exit status alone
// (2 for a bad line, say) describes only that line.
std::string ran_before(unsigned ran) {
    if (ran == 0) return "; nothing before it ran";
    return "; the " + std::to_string(ran) + (ran == 1 ? " command" : " commands") + " before it ran";
}

void raw(Session& session, const Output& out, Bytes frame) {
    const auto head = std::span(frame).first(frame.size() - 2);
    frame[frame.size() - 2] = checksum(head);
    const auto answer = session.check(session.operations().ask(frame));
    out.raw(frame, answer.raw);
}

}  // namespace

void run(const Command& c, Session& session, const Output& out) {
    auto& ops = session.operations();
    switch (c.verb) {
    case Verb::Version:
        out.version(session.check(ops.version()));
        return;
    case Verb::Wavelengths:
        for (auto ch : c.channels) out.wavelengths(ch, session.check(ops.wavelengths(ch)));
        return;
    case Verb::Status:
        for (auto ch : c.channels) out.status(ch, session.check(ops.status(ch)));
        return;
    case Verb::Set:
        session.check(ops.set_attenuation(c.channels[0], steps_from_mdb(c.mdb)));
        out.set(c.channels[0], c.mdb);
        return;
    case Verb::Clear:
        session.check(ops.clear(c.channels[0]));
        out.cleared(c.channels[0]);
        return;
    case Verb::Disconnect:
        session.check(ops.disconnect(c.channels[0]));
        out.disconnected(c.channels[0]);
        return;
    case Verb::DisplayClose:
        session.check(ops.close_display());
        out.display_closed();
        return;
    case Verb::Select:
        session.check(ops.select(c.channels[0], c.nm, std::to_string(c.nm)));
        out.selected(c.channels[0], c.nm);
        return;
    case Verb::Sweep:
        sweep(session, out, c.channels[0], c.sweep);
        return;
    case Verb::Raw:
        raw(session, out, c.frame);
        return;
    case Verb::Batch:
        throw usage_error("batch: not inside a batch");
    }
}

void run_batch(std::istream& input, Session& session, const Output& out) {
    // Each line is read, checked and run before the next is read, so a
    // program or a person can feed lines as results come back; a line that
    // fails to parse therefore stops the batch after the lines before it ran.
    std::vector<char> line(kMaxBatchLine + 1);
    unsigned ran = 0;
    for (unsigned number = 1;; ++number) {
        if (!input.getline(line.data(), static_cast<std::streamsize>(line.size()))) {
            // At the end of input, or on a read error the caller reports.
            if (input.eof() || input.gcount() < static_cast<std::streamsize>(kMaxBatchLine)) return;
            throw usage_error("line " + std::to_string(number) + ": longer than " +
                              std::to_string(kMaxBatchLine) + " bytes, not run" + ran_before(ran));
        }
        std::istringstream split(line.data());
        const std::vector<std::string> words{std::istream_iterator<std::string>(split), {}};
        if (words.empty() || words[0].starts_with('#')) continue;
        try {
            run(parse_command(words), session, out);
        } catch (const Failure& f) {
            throw Failure(f.status, "line " + std::to_string(number) + ": " + f.what() + ran_before(ran));
        }
        ++ran;
    }
}

}  // namespace kq2741::ctl
