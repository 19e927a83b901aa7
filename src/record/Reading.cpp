#include "record/Reading.h"

#include "protocol/captions.h"
#include "protocol/float.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace record {

namespace {

// RFC 4180: quoted when it holds a separator, a quote or a line break.
std::string CsvField(std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(text);
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + '"';
}

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + '"';
}

// A JSON string, or null for an empty field.
std::string JsonText(std::string_view text)
{
    return text.empty() ? "null" : JsonString(text);
}

std::string Caption(const char* caption)
{
    std::string text = caption;
    text.erase(0, text.find_first_not_of(' '));
    return text;
}

} // namespace

LogClock::TimePoint LogClock::Now() const
{
    return std::chrono::system_clock::now();
}

std::string_view StatusName(Status status)
{
    switch (status) {
    case Status::Ok:
        return "ok";
    case Status::NoReply:
        return "no-reply";
    case Status::CheckError:
        return "check-error";
    case Status::BadReply:
        return "bad-reply";
    case Status::PortLost:
        return "port-lost";
    case Status::LateReply:
        return "late-reply";
    }
    return "?";
}

std::string ModeName(std::uint8_t mode)
{
    switch (mode) {
    case ModeVoltage:
        return "voltage";
    case ModeCurrent:
        return "current";
    case ModePower:
        return "power";
    default:
        return {};
    }
}

void FillMeasurement(Reading& r, const Frame& reply, const ReplyDecision& d,
                     std::uint8_t modelIndex)
{
    r.valueText = d.valueText ? *d.valueText : std::string();
    r.value = DecodeFloat(&reply[4]);
    r.unit = d.unit;
    r.mode = d.mode ? ModeName(*d.mode) : "";
    r.voltageRange = d.voltageRange ? Caption(VoltageCaptions[*d.voltageRange]) : "";
    r.currentRange = d.currentRange ? Caption(CurrentCaptions(modelIndex)[*d.currentRange]) : "";
}

std::string FormatTime(LogClock::TimePoint time)
{
    using namespace std::chrono;
    const auto ms = time_point_cast<milliseconds>(time);
    const std::time_t seconds = system_clock::to_time_t(
        time_point_cast<system_clock::duration>(floor<std::chrono::seconds>(ms)));
    const auto millis = (ms.time_since_epoch() % 1000 + milliseconds(1000)) % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff / 60;
    std::snprintf(text + n, sizeof text - n, ".%03d%c%02ld:%02ld", static_cast<int>(millis.count()),
                  offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    return text;
}

std::string ExactNumber(double value)
{
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string CsvHeader()
{
    return "time,port,value,unit,exact,mode,vrange,crange,status\n";
}

std::string FormatReading(const Reading& r, Format format)
{
    const std::string time = FormatTime(r.time);
    const std::string exact = r.value ? ExactNumber(*r.value) : std::string();
    const std::string_view status = StatusName(r.status);
    if (format == Format::Csv) {
        std::string line = time;
        for (const std::string_view field :
             {std::string_view(r.port), std::string_view(r.valueText), std::string_view(r.unit),
              std::string_view(exact), std::string_view(r.mode), std::string_view(r.voltageRange),
              std::string_view(r.currentRange), status}) {
            line += ',';
            line += CsvField(field);
        }
        return line + '\n';
    }
    return "{\"time\":" + JsonString(time) + ",\"port\":" + JsonString(r.port) +
           ",\"value\":" + JsonText(r.valueText) + ",\"unit\":" + JsonText(r.unit) +
           ",\"exact\":" + (exact.empty() ? "null" : exact) + ",\"mode\":" + JsonText(r.mode) +
           ",\"vrange\":" + JsonText(r.voltageRange) + ",\"crange\":" + JsonText(r.currentRange) +
           ",\"status\":" + JsonString(status) + "}\n";
}

} // namespace record
