#include "velmor-log/options.h"

#include "cli/OptionLoop.h"

#include "protocol/captions.h"
#include "protocol/frames.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

namespace vlog {

namespace {

constexpr std::uint64_t MaxMilliseconds = 24ull * 3600 * 1000;

std::uint64_t Whole(const std::string& option, const std::string& text, std::uint64_t low,
                    std::uint64_t high)
{
    return cli::WholeNumber<OptionError>(option, text, low, high);
}

std::chrono::milliseconds Millis(const std::string& option, const std::string& text,
                                 std::uint64_t low)
{
    return std::chrono::milliseconds(Whole(option, text, low, MaxMilliseconds));
}

// "75", "75V" and "75v" alike; the Velmor's " 1A" is also "1" and "1A".
std::string Bare(std::string text, char unit)
{
    while (!text.empty() && text.front() == ' ') {
        text.erase(0, 1);
    }
    if (!text.empty() && (text.back() == unit || text.back() == unit + ('a' - 'A'))) {
        text.pop_back();
    }
    return text;
}

template <std::size_t N>
std::uint8_t RangeIndex(const std::string& option, const std::string& text,
                        const std::array<const char*, N>& captions, char unit,
                        const std::string& model)
{
    std::string choices;
    for (std::size_t i = 0; i < N; ++i) {
        const std::string caption = Bare(captions[i], unit);
        if (Bare(text, unit) == caption) {
            return static_cast<std::uint8_t>(i);
        }
        choices += (i == 0 ? "" : "|") + caption;
    }
    throw OptionError(option + " is one of " + choices + model + ", not '" + text + "'");
}

std::uint8_t ModeCode(const std::string& text)
{
    static const std::map<std::string, std::uint8_t> names = {
        {"voltage", ModeVoltage}, {"current", ModeCurrent}, {"power", ModePower}};
    const auto it = names.find(text);
    if (it == names.end()) {
        throw OptionError("--mode is one of voltage, current, power, not '" + text + "'");
    }
    return it->second;
}

constexpr const char* UrlForm = "mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";

// mqtt://host[:port] or mqtts://host[:port]; an IPv6 address in brackets.
void ParseUrl(const std::string& url, MqttOptions& mqtt)
{
    std::string rest;
    if (url.starts_with("mqtt://")) {
        rest = url.substr(7);
    } else if (url.starts_with("mqtts://")) {
        rest = url.substr(8);
        mqtt.tls = true;
    } else {
        throw OptionError(std::string("--mqtt needs ") + UrlForm + ", not '" + url + "'");
    }
    if (rest.find('@') != std::string::npos) {
        throw OptionError("--mqtt takes no user or password: give --mqtt-user NAME, and the "
                          "password in --mqtt-password-file FILE or VELMOR_MQTT_PASSWORD");
    }
    if (rest.ends_with('/')) {
        rest.pop_back();
    }
    const auto bad = [&] { return OptionError("--mqtt '" + url + "' is not " + UrlForm); };
    std::string port;
    if (rest.starts_with('[')) {
        const auto close = rest.find(']');
        if (close == std::string::npos) {
            throw bad();
        }
        mqtt.host = rest.substr(1, close - 1);
        rest.erase(0, close + 1);
        if (!rest.empty() && !rest.starts_with(':')) {
            throw bad();
        }
        port = rest.empty() ? "" : rest.substr(1);
        if (mqtt.host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos) {
            throw bad();
        }
    } else {
        const auto colon = rest.find(':');
        mqtt.host = rest.substr(0, colon);
        port = colon == std::string::npos ? "" : rest.substr(colon + 1);
        if (colon != std::string::npos && port.empty()) {
            throw bad();
        }
        if (mqtt.host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                        "0123456789.-_") != std::string::npos) {
            throw bad();
        }
    }
    if (mqtt.host.empty()) {
        throw bad();
    }
    mqtt.port = static_cast<std::uint16_t>(port.empty() ? (mqtt.tls ? 8883 : 1883)
                                                        : Whole("--mqtt port", port, 1, 65535));
}

void CheckMqtt(MqttOptions& mqtt, const std::set<std::string>& given,
               const std::vector<PortChoice>& ports)
{
    for (const char* option : {"--mqtt-ca", "--mqtt-cert", "--mqtt-key"}) {
        if (!mqtt.tls && given.contains(option)) {
            throw OptionError(std::string(option) + " is for an mqtts:// broker");
        }
    }
    if (mqtt.cert.empty() != mqtt.key.empty()) {
        throw OptionError("--mqtt-cert and --mqtt-key go together");
    }
    if (!mqtt.passwordFile.empty() && mqtt.user.empty()) {
        throw OptionError("--mqtt-password-file needs --mqtt-user");
    }
    while (mqtt.topic.size() > 1 && mqtt.topic.ends_with('/')) {
        mqtt.topic.pop_back();
    }
    if (mqtt.topic.find_first_of("+#") != std::string::npos || mqtt.topic.starts_with('$') ||
        mqtt.topic == "/") {
        throw OptionError("--mqtt-topic is a topic without the wildcards + and # that does not "
                          "begin with $, not '" +
                          mqtt.topic + "'");
    }
    // Two meters on one topic could not be told apart.
    for (std::size_t i = 0; i < ports.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (PortTopic(ports[i]) == PortTopic(ports[j])) {
                throw OptionError(ports[j].Name() + " and " + ports[i].Name() +
                                  " would publish to one topic (" + PortTopic(ports[i]) +
                                  "): give one a COM number");
            }
        }
    }
}

} // namespace

std::string MqttOptions::Url() const
{
    const std::string name = host.find(':') == std::string::npos ? host : "[" + host + "]";
    return (tls ? "mqtts://" : "mqtt://") + name + ":" + std::to_string(port);
}

std::string PortTopic(const PortChoice& port)
{
    std::string name =
        port.device.empty() ? port.Name() : std::filesystem::path(port.device).filename().string();
    if (name.empty()) {
        name = port.device;
    }
    for (char& c : name) {
        if (c == '/' || c == '+' || c == '#') {
            c = '_';
        }
    }
    return name;
}

std::string PortChoice::Name() const
{
    return device.empty() ? "COM" + std::to_string(com) : device;
}

namespace {

// What the loop gathers; some checks need the whole command line.
struct Gathered {
    Options o;
    // Ranges are checked once the model is known, whatever the order.
    std::optional<std::string> voltageText;
    std::optional<std::string> currentText;
    bool outputGiven = false;
    MqttOptions mqtt;
    std::optional<std::string> url;
    std::set<std::string> mqttGiven; // the --mqtt-* options
};

std::chrono::milliseconds Seconds(const std::string& option, const std::string& text)
{
    double seconds = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec != std::errc() || end != text.data() + text.size() || !(seconds > 0) ||
        !(seconds * 1000 <= MaxMilliseconds)) {
        throw OptionError(option + " needs a number of seconds above 0, up to 86400, not '" + text +
                          "'");
    }
    return std::chrono::milliseconds(std::llround(std::ceil(seconds * 1000)));
}

cli::Setters MeterOptions(Gathered& g)
{
    Options& o = g.o;
    return {
        {"--com",
         [&o](auto& n, auto& v) {
             o.ports.push_back({static_cast<unsigned>(Whole(n, v, 1, 255)), {}});
         }},
        {"--device",
         [&o](auto&, auto& v) {
             if (v.empty()) {
                 throw OptionError("--device needs a path");
             }
             o.ports.push_back({0, v});
         }},
        {"--model",
         [&o](auto&, auto& v) {
             if (v != "velmor" && v != "dranik") {
                 throw OptionError("--model is velmor or dranik, not '" + v + "'");
             }
             o.model = v == "velmor" ? ModelVelmor : ModelDranik;
         }},
        {"--mode", [&o](auto&, auto& v) { o.mode = ModeCode(v); }},
        {"--vrange", [&g](auto&, auto& v) { g.voltageText = v; }},
        {"--crange", [&g](auto&, auto& v) { g.currentText = v; }},
    };
}

cli::Setters TimingOptions(Options& o)
{
    return {
        {"--interval", [&o](auto& n, auto& v) { o.interval = Millis(n, v, 0); }},
        {"--timeout", [&o](auto& n, auto& v) { o.timeout = Millis(n, v, 1); }},
        {"--count", [&o](auto& n, auto& v) { o.count = Whole(n, v, 1, UINT64_MAX); }},
        {"--duration", [&o](auto& n, auto& v) { o.duration = Seconds(n, v); }},
        {"--max-errors", [&o](auto& n, auto& v) { o.maxErrors = Whole(n, v, 1, UINT64_MAX); }},
    };
}

cli::Setters OutputOptions(Gathered& g)
{
    return {
        {"--output",
         [&g](auto&, auto& v) {
             if (v.empty()) {
                 throw OptionError("--output needs a file name");
             }
             g.o.output = v == "-" ? "" : v;
             g.outputGiven = true;
         }},
        {"--format",
         [&g](auto&, auto& v) {
             if (v != "csv" && v != "jsonl") {
                 throw OptionError("--format is csv or jsonl, not '" + v + "'");
             }
             g.o.format = v == "csv" ? Format::Csv : Format::Jsonl;
         }},
    };
}

cli::Setters BrokerOptions(Gathered& g)
{
    const auto text = [&g](std::string& field) {
        return [&field, &g](const std::string& n, const std::string& v) {
            if (v.empty()) {
                throw OptionError(n + " needs a value");
            }
            field = v;
            g.mqttGiven.insert(n);
        };
    };
    MqttOptions& mqtt = g.mqtt;
    return {
        {"--mqtt", [&g](auto&, auto& v) { g.url = v; }},
        {"--mqtt-ca", text(mqtt.ca)},
        {"--mqtt-cert", text(mqtt.cert)},
        {"--mqtt-key", text(mqtt.key)},
        {"--mqtt-user", text(mqtt.user)},
        {"--mqtt-password-file", text(mqtt.passwordFile)},
        {"--mqtt-topic", text(mqtt.topic)},
        {"--mqtt-id", text(mqtt.id)},
        {"--mqtt-queue",
         [&g](auto& n, auto& v) {
             g.mqtt.queue = Whole(n, v, 1, 10'000'000);
             g.mqttGiven.insert(n);
         }},
    };
}

std::map<std::string, cli::Flag> Flags(Options& o)
{
    return {
        {"--quiet", [&o] { o.quiet = true; }},     {"-q", [&o] { o.quiet = true; }},
        {"--version", [&o] { o.version = true; }}, {"--help", [&o] { o.help = true; }},
        {"-h", [&o] { o.help = true; }},
    };
}

const std::map<std::string, std::string> Refused = {
    // Any user could read it from the process list.
    {"--mqtt-password", "a password is never given on the command line: put it in "
                        "--mqtt-password-file FILE or VELMOR_MQTT_PASSWORD"},
};

void CheckPortsGiven(const std::vector<PortChoice>& ports)
{
    if (ports.empty()) {
        throw OptionError("no meter given: name its port with --com N or --device PATH");
    }
    for (std::size_t i = 0; i < ports.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (ports[i].Name() == ports[j].Name()) {
                throw OptionError(ports[i].Name() + " is given twice");
            }
        }
    }
}

void SetBroker(Gathered& g)
{
    if (g.url) {
        ParseUrl(*g.url, g.mqtt);
        CheckMqtt(g.mqtt, g.mqttGiven, g.o.ports);
        g.o.mqtt = g.mqtt;
    } else if (!g.mqttGiven.empty()) {
        throw OptionError(*g.mqttGiven.begin() + " needs --mqtt URL");
    }
    g.o.toOutput = g.outputGiven || !g.o.mqtt;
}

void SetRanges(Gathered& g)
{
    Options& o = g.o;
    if (g.voltageText) {
        o.voltageRange = RangeIndex("--vrange", *g.voltageText, VoltageCaptions, 'V', "");
    }
    if (g.currentText) {
        o.currentRange = RangeIndex("--crange", *g.currentText, CurrentCaptions(o.model), 'A',
                                    o.model == ModelVelmor
                                        ? " for the Velmor model"
                                        : " for the Dranik model (--model velmor has others)");
    }
}

constexpr const char* Help = R"(Usage: velmor-log --com N|--device PATH [OPTION]...
Logs a Velmor/Dranik meter's readings, one line each, until interrupted
(Ctrl-C, SIGTERM), --count or --duration; then prints a summary per meter on
standard error. Repeat --com or --device to log several meters at once, each
on its own port, into one output in time order.

  --config FILE      take options from FILE, one a line as written here
                     ("--com 3", "--interval=200"; "#" begins a comment), in
                     the place of --config: options after it override the
                     file's, ports add up; a bad line exits 2 naming it

Meters:
  --com N            the port COMN of the COM port map (1..255)
  --device PATH      a serial device by its path
  --model NAME       velmor or dranik (default dranik): range captions and
                     the decimals shown
  --mode MODE        set voltage, current or power first
  --vrange V         set the voltage range first: 30|60|75|150|300|450|600
  --crange A         set the current range first: 1|2.5|5|10 (Dranik),
                     0.1|0.25|0.5|1 (Velmor)

Polling:
  --interval MS      pause after each reply (default 100, 0 allowed)
  --timeout MS       reply time-out (default 500), again while bytes keep
                     coming; after a missed reply the next query waits until the line has
                     been quiet this long, and what comes meanwhile is
                     dropped (a late-reply line)
  --count N          stop after N lines per meter
  --duration SECONDS stop after this long
  --max-errors N     give up after N errors in a row on one meter

Output:
  --output FILE      append the lines to FILE (default standard output, also
                     "-"); a file that holds another format is not appended
                     to; with --mqtt alone, no lines are written
  --format FORMAT    csv (default, one header line) or jsonl
  -q, --quiet        no live status line on standard error
  -h, --help         show this text
      --version      show the version

MQTT (each reading also published, as a JSON lines object, QoS 1):
  --mqtt URL         mqtt://HOST[:PORT] (default port 1883) or
                     mqtts://HOST[:PORT] (TLS, default port 8883)
  --mqtt-ca FILE     the CA certificates that sign the broker's (default:
                     the system's)
  --mqtt-cert FILE, --mqtt-key FILE
                     a client certificate and its key
  --mqtt-user NAME   the user; the password is the first line of
                     --mqtt-password-file FILE or VELMOR_MQTT_PASSWORD
  --mqtt-topic PREFIX  topics PREFIX/PORT/reading and PREFIX/PORT/status
                     (default velmor/HOSTNAME)
  --mqtt-id ID       the client id (default velmor-log-HOSTNAME-PID); with
                     several meters each has a connection, ID-PORT
  --mqtt-queue N     readings kept while the broker is away (default
                     100000); beyond, the oldest are dropped and counted

SIGUSR1 opens the output file again (after log rotation moved it away): the
lines go on into a new file, which begins with the header.

Each line: time (ISO 8601, local, milliseconds and offset), port, value as
the meter shows it, unit, exact value, mode, voltage range, current range,
status (ok, no-reply, check-error, bad-reply, port-lost, late-reply). Error
lines carry no value; polling goes on.

Exit status:
  0  stopped by Ctrl-C, SIGTERM, --count or --duration
  1  gave up while logging: --max-errors reached, a setting the meter did not
     acknowledge, output that could not be written, no meter left (a
     pseudo-terminal that hung up does not come back), the serial
     library's threads failed, or the MQTT broker refused the connection or
     its TLS failed at start
  2  bad input: unknown option or value, a range the model does not have, a
     port that does not exist, is no serial port, is held by another program
     or may not be opened, one port given twice, an output file that cannot
     be opened, holds another format or is a meter's port, a malformed
     --mqtt URL, a CA, certificate, key or password file that cannot be
     read, a password on the command line; nothing was written
)";

} // namespace

Options ParseOptions(const std::vector<std::string>& args)
{
    Gathered g;
    cli::RunOptionLoop<OptionError>(
        args, Flags(g.o),
        cli::Join({MeterOptions(g), TimingOptions(g.o), OutputOptions(g), BrokerOptions(g)}),
        Refused);
    if (g.o.help || g.o.version) {
        return g.o;
    }
    CheckPortsGiven(g.o.ports);
    SetBroker(g);
    SetRanges(g);
    return g.o;
}

std::string HelpText()
{
    return Help;
}

} // namespace vlog
