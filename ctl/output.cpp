#include "output.hpp"

#include <cstdio>

#include "protocol/frame.hpp"
#include "streams.hpp"
#include "values.hpp"

namespace kq2741::ctl {
namespace {

using kq2741::protocol::HexCase;
using kq2741::protocol::hex;

std::string num(unsigned v) {
    return std::to_string(v);
}

// Padded to width, so the columns of several lines line up.
std::string right(std::string s, std::size_t width) {
    if (s.size() < width) s.insert(0, width - s.size(), ' ');
    return s;
}
std::string left(std::string s, std::size_t width) {
    if (s.size() < width) s.resize(width, ' ');
    return s;
}

std::string channel_text(std::uint8_t channel) {
    return "channel " + left(num(channel), 3);
}

std::string db(std::uint32_t mdb) {
    return right(protocol::db_text(protocol::steps_from_mdb(mdb)), 6) + " dB";
}

std::string ack_json(std::uint8_t channel, const char* command, const std::string& extra = "") {
    return "{\"channel\": " + num(channel) + ", \"command\": \"" + command + "\"" + extra +
           ", \"ok\": true}";
}

}  // namespace

void Output::emit(const std::string& json, const std::string& text) const {
    const std::string& line = json_ ? json : text;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    streams::check_stdout();
}

void Output::version(const kq2741::protocol::Version& v) const {
    emit("{\"module_version\": " + num(v.module) + ", \"hard_version\": " + num(v.hardware) +
             ", \"soft_version\": " + num(v.software) + "}",
         "module version    " + num(v.module) + "\nhardware version  " + num(v.hardware) +
             "\nsoftware version  " + num(v.software));
}

void Output::wavelengths(std::uint8_t channel, const std::vector<std::uint16_t>& nm) const {
    std::string json, text = channel_text(channel) + " ";
    for (auto w : nm) {
        if (!json.empty()) json += ", ";
        json += num(w);
        text += ' ';
        text += right(num(w), 5);
        text += " nm";
    }
    emit("{\"channel\": " + num(channel) + ", \"wavelengths\": [" + json + "]}", text);
}

void Output::status(std::uint8_t channel, const kq2741::protocol::Status& s) const {
    const std::uint32_t mdb = kq2741::protocol::mdb_from_steps(s.attenuation_steps);
    emit("{\"channel\": " + num(channel) + ", \"dev_work_mode\": " + num(s.work_mode) +
             ", \"optical_length_index\": " + num(s.wavelength_index) +
             ", \"attenuation\": " + num(mdb) + "}",
         channel_text(channel) + "  attenuation " + db(mdb) + "  wavelength index " +
             left(num(s.wavelength_index), 3) + "  work mode " + num(s.work_mode));
}

void Output::set(std::uint8_t channel, std::uint32_t mdb) const {
    emit(ack_json(channel, "set", ", \"attenuation\": " + num(mdb)),
         channel_text(channel) + "  attenuation set to " + db(mdb));
}

void Output::cleared(std::uint8_t channel) const {
    emit(ack_json(channel, "clear"), channel_text(channel) + "  attenuation cleared");
}

void Output::selected(std::uint8_t channel, std::uint16_t nm) const {
    emit(ack_json(channel, "select", ", \"wavelength\": " + num(nm)),
         channel_text(channel) + "  wavelength " + num(nm) + " nm selected");
}

void Output::disconnected(std::uint8_t channel) const {
    emit(ack_json(channel, "disconnect"), channel_text(channel) + "  disconnected");
}

void Output::display_closed() const {
    emit("{\"command\": \"display-close\", \"ok\": true}", "full-screen display closed");
}

void Output::sweep_point(std::uint8_t channel, std::uint32_t set_mdb, std::uint32_t read_mdb) const {
    emit("{\"channel\": " + num(channel) + ", \"set\": " + num(set_mdb) +
             ", \"attenuation\": " + num(read_mdb) + "}",
         channel_text(channel) + "  set " + db(set_mdb) + "  read back " + db(read_mdb));
}

void Output::raw(std::span<const std::uint8_t> sent, std::span<const std::uint8_t> received) const {
    emit("{\"sent\": \"" + hex(sent, HexCase::Lower) + "\", \"received\": \"" +
             hex(received, HexCase::Lower) + "\"}",
         "sent      " + hex(sent) + "\nreceived  " + hex(received));
}

}  // namespace kq2741::ctl
