#include "run.hpp"

#include <algorithm>
#include <iterator>
#include <sstream>
#include <thread>

#include "failure.hpp"
#include "protocol/answers.hpp"
#include "protocol/requests.hpp"
#include "protocol/units.hpp"
#include "values.hpp"

namespace kq2741ctl {
namespace {

using namespace kq2741::protocol;

[[noreturn]] void misshapen(const Received& answer) {
    throw Failure(Exit::Answer, command_name(answer.frame.code) + " answer on channel " +
                                    std::to_string(answer.frame.channel) +
                                    " does not have the expected shape: " + hex(answer.raw));
}

void acknowledged(const Received& answer) {
    const auto status = decode_ack(answer.frame.payload);
    if (!status) misshapen(answer);
    if (*status == static_cast<std::uint8_t>(Ack::Ok)) return;
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02X", *status);
    throw Failure(Exit::Answer, "the instrument refused " + command_name(answer.frame.code) +
                                    " on channel " + std::to_string(answer.frame.channel) +
                                    ": status " + byte + " (" + ack_meaning(*status) + ")");
}

std::vector<std::uint16_t> wavelength_list(Link& link, std::uint8_t channel) {
    const auto answer = link.ask(wavelength_list_request(channel));
    auto nm = decode_wavelength_list(answer.frame.payload);
    if (!nm) misshapen(answer);
    return std::move(*nm);
}

Status status(Link& link, std::uint8_t channel) {
    const auto answer = link.ask(status_request(channel));
    const auto s = decode_status(answer.frame.payload);
    if (!s) misshapen(answer);
    return *s;
}

void select(Link& link, const Output& out, std::uint8_t channel, std::uint16_t nm) {
    // The instrument takes a position in the channel's own list, and
    // channels need not support the same wavelengths.
    const auto list = wavelength_list(link, channel);
    const auto at = std::find(list.begin(), list.end(), nm);
    if (at == list.end()) {
        std::string supported;
        for (auto w : list) supported += supported.empty() ? std::to_string(w) : ", " + std::to_string(w);
        throw Failure(Exit::Answer, "channel " + std::to_string(channel) + " does not support " +
                                        std::to_string(nm) + " nm; it supports " +
                                        (supported.empty() ? "none" : supported + " nm"));
    }
    const auto index = static_cast<std::uint8_t>(at - list.begin());
    acknowledged(link.ask(select_wavelength_request(channel, index)));
    out.selected(channel, nm);
}

void sweep(Link& link, const Output& out, std::uint8_t channel, const Sweep& sweep) {
    const auto points = sweep_points(sweep);
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i > 0 && sweep.dwell.count() > 0) std::this_thread::sleep_for(sweep.dwell);
        acknowledged(link.ask(set_attenuation_request(channel, steps_from_mdb(points[i]))));
        const std::uint32_t read_back = mdb_from_steps(status(link, channel).attenuation_steps);
        out.sweep_point(channel, points[i], read_back);
        if (read_back != points[i])
            throw Failure(Exit::Answer, "channel " + std::to_string(channel) + " reads back " +
                                            db_text(read_back) + " dB after being set to " +
                                            db_text(points[i]) + " dB");
    }
}

// A failed batch line says what already happened: its exit status alone
// (2 for a bad line, say) describes only that line.
std::string ran_before(unsigned ran) {
    if (ran == 0) return "; nothing before it ran";
    return "; the " + std::to_string(ran) + (ran == 1 ? " command" : " commands") + " before it ran";
}

void raw(Link& link, const Output& out, Bytes frame) {
    const auto head = std::span(frame).first(frame.size() - 2);
    frame[frame.size() - 2] = checksum(head);
    const auto answer = link.ask(frame);
    out.raw(frame, answer.raw);
}

}  // namespace

void run(const Command& c, Link& link, const Output& out) {
    switch (c.verb) {
    case Verb::Version: {
        const auto answer = link.ask(version_request());
        const auto v = decode_version(answer.frame.payload);
        if (!v) misshapen(answer);
        out.version(*v);
        return;
    }
    case Verb::Wavelengths:
        for (auto ch : c.channels) out.wavelengths(ch, wavelength_list(link, ch));
        return;
    case Verb::Status:
        for (auto ch : c.channels) out.status(ch, status(link, ch));
        return;
    case Verb::Set:
        acknowledged(link.ask(set_attenuation_request(c.channels[0], steps_from_mdb(c.mdb))));
        out.set(c.channels[0], c.mdb);
        return;
    case Verb::Clear:
        acknowledged(link.ask(clear_request(c.channels[0])));
        out.cleared(c.channels[0]);
        return;
    case Verb::Disconnect:
        acknowledged(link.ask(disconnect_request(c.channels[0])));
        out.disconnected(c.channels[0]);
        return;
    case Verb::DisplayClose:
        acknowledged(link.ask(full_screen_close_request()));
        out.display_closed();
        return;
    case Verb::Select:
        select(link, out, c.channels[0], c.nm);
        return;
    case Verb::Sweep:
        sweep(link, out, c.channels[0], c.sweep);
        return;
    case Verb::Raw:
        raw(link, out, c.frame);
        return;
    case Verb::Batch:
        throw usage_error("batch: not inside a batch");
    }
}

void run_batch(std::istream& input, Link& link, const Output& out) {
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
            run(parse_command(words), link, out);
        } catch (const Failure& f) {
            throw Failure(f.status, "line " + std::to_string(number) + ": " + f.what() + ran_before(ran));
        }
        ++ran;
    }
}

}  // namespace kq2741ctl
