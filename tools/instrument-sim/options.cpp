#include "instrument-sim/options.h"

#include "cli/OptionLoop.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>

namespace sim {

namespace {

constexpr long MaxMilliseconds = 3600000;
constexpr long MaxBytes = 1 << 20;

long Integer(const std::string& option, const std::string& text, long low, long high)
{
    return cli::WholeNumber<OptionError>(option, text, low, high);
}

double Real(const std::string& option, const std::string& text, double low, double high,
            const std::string& range)
{
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !(value >= low) ||
        !(value <= high)) {
        throw OptionError(option + " needs a number from " + range + ", not '" + text + "'");
    }
    return value;
}

std::chrono::milliseconds Millis(const std::string& option, const std::string& text)
{
    return std::chrono::milliseconds(Integer(option, text, 0, MaxMilliseconds));
}

int Bytes(const std::string& option, const std::string& text)
{
    return static_cast<int>(Integer(option, text, 0, MaxBytes));
}

Waveform ParseWaveform(const std::string& text)
{
    static const std::map<std::string, Waveform> names = {{"constant", Waveform::Constant},
                                                          {"sine", Waveform::Sine},
                                                          {"noise", Waveform::Noise},
                                                          {"ramp", Waveform::Ramp}};
    const auto it = names.find(text);
    if (it == names.end()) {
        throw OptionError("--signal is one of constant, sine, noise, ramp, not '" + text + "'");
    }
    return it->second;
}

cli::Setters PortOptions(Options& o)
{
    Config& c = o.config;
    return {
        {"--device",
         [&c](auto&, auto& v) {
             if (v.empty()) {
                 throw OptionError("--device needs a path");
             }
             c.device = v;
         }},
        {"--com",
         [&o](auto& n, auto& v) {
             const int number = static_cast<int>(Integer(n, v, 1, 255));
             if (std::find(o.com.begin(), o.com.end(), number) != o.com.end()) {
                 throw OptionError("--com " + std::to_string(number) + " is given twice");
             }
             o.com.push_back(number);
         }},
        {"--baud",
         [&c](auto& n, auto& v) {
             c.baud = static_cast<std::uint32_t>(Integer(n, v, 50, 4000000));
         }},
    };
}

cli::Setters InstrumentOptions(Config& c)
{
    return {
        {"--mode",
         [&c](auto& n, auto& v) { c.state.mode = static_cast<std::uint8_t>(Integer(n, v, 1, 3)); }},
        {"--voltage-range",
         [&c](auto& n, auto& v) {
             c.state.voltageRange = static_cast<std::uint8_t>(Integer(n, v, 0, 6));
         }},
        {"--current-range",
         [&c](auto& n, auto& v) {
             c.state.currentRange = static_cast<std::uint8_t>(Integer(n, v, 0, 3));
         }},
        {"--signal", [&c](auto&, auto& v) { c.signal.waveform = ParseWaveform(v); }},
        {"--level", [&c](auto& n, auto& v) { c.signal.level = Real(n, v, -1, 1, "-1 to 1"); }},
        {"--period",
         [&c](auto& n, auto& v) {
             c.signal.period = std::chrono::milliseconds(Integer(n, v, 1, MaxMilliseconds));
         }},
        {"--seed",
         [&c](auto& n, auto& v) {
             c.seed = static_cast<std::uint32_t>(Integer(n, v, 0, 4294967295L));
         }},
    };
}

cli::Setters FaultOptions(Faults& f)
{
    return {
        {"--delay", [&f](auto& n, auto& v) { f.replyDelay = Millis(n, v); }},
        {"--bad-check",
         [&f](auto& n, auto& v) { f.badCheckProbability = Real(n, v, 0, 1, "0 to 1"); }},
        {"--split",
         [&f](auto& n, auto& v) { f.splitPieces = static_cast<int>(Integer(n, v, 1, 64)); }},
        {"--split-pause", [&f](auto& n, auto& v) { f.splitPause = Millis(n, v); }},
        {"--extra", [&f](auto& n, auto& v) { f.extraBytes = Bytes(n, v); }},
        {"--missing", [&f](auto& n, auto& v) { f.missingBytes = Bytes(n, v); }},
        {"--noise", [&f](auto& n, auto& v) { f.noiseBytes = Bytes(n, v); }},
        {"--noise-delay", [&f](auto& n, auto& v) { f.noiseDelay = Millis(n, v); }},
        {"--burst", [&f](auto& n, auto& v) { f.burstBytes = Bytes(n, v); }},
        {"--hangup-after",
         [&f](auto& n, auto& v) {
             f.hangUpAfter = static_cast<int>(Integer(n, v, 1, 1000000000));
         }},
    };
}

std::map<std::string, cli::Flag> Flags(Options& o)
{
    Faults& f = o.config.faults;
    return {
        {"--silent", [&f] { f.silent = true; }}, {"--verbose", [&o] { o.verbose = true; }},
        {"-v", [&o] { o.verbose = true; }},      {"--version", [&o] { o.version = true; }},
        {"--help", [&o] { o.help = true; }},     {"-h", [&o] { o.help = true; }},
    };
}

constexpr const char* Help = R"(Usage: velmor-sim [OPTION]...
A simulated Velmor/Dranik meter. Opens a pseudo-terminal (or --device), prints
the path a client opens, and answers the meter's protocol at 9600 baud 8N1 until
interrupted (Ctrl-C, SIGTERM). Without --baud a pseudo-terminal takes each reply
at once.

Requests with a wrong check code, an unknown command or an invalid parameter
get no answer, as on a bus; so do frames whose rest does not follow within
50 ms.

Port:
  --device PATH        serve on this serial device instead of a pseudo-terminal
  --com N              link the port as comN (1..255) in $VELMOR_COM_DIR, else in
                       ${XDG_CONFIG_HOME:-~/.config}/velmor/com; removed on exit.
                       Given again (--com 1 --com 2 ...): one independent meter
                       per number, each on its own pseudo-terminal with the
                       same options, their paths printed one a line in order
  --baud N             keep line time: write byte by byte, one every 10/N s as a
                       UART delivers 8N1 (and set a --device to N baud)

Instrument:
  --mode N             1 voltage, 2 current, 3 power (default 1)
  --voltage-range N    0..6: 30, 60, 75, 150, 300, 450, 600 V (default 0)
  --current-range N    0..3: 1, 2.5, 5, 10 A (default 0)
  --signal KIND        constant, sine, noise or ramp (default constant)
  --level F            amplitude as a fraction of full scale, -1..1 (default 0.5)
  --period MS          period of sine and ramp (default 10000)
  --seed N             seed for noise and random bytes (default 1)

Faults:
  --delay MS           wait this long before each reply
  --silent             answer nothing
  --bad-check P        give a reply a wrong check code with probability P (0..1)
  --split N            send each reply in N pieces...
  --split-pause MS     ...this far apart (default 20)
  --extra N            append N random bytes to every reply
  --missing N          cut N bytes from the end of every reply
  --noise N            send N random bytes between replies...
  --noise-delay MS     ...this long after each reply (default 50)
  --burst N            follow the first reply with N random bytes, once
  --hangup-after N     hang up (close the port) after N replies

  -v, --verbose        print every request on stderr
  -h, --help           show this text
      --version        show the version
)";

} // namespace

Options ParseOptions(const std::vector<std::string>& args)
{
    Options o;
    cli::RunOptionLoop<OptionError>(
        args, Flags(o),
        cli::Join({PortOptions(o), InstrumentOptions(o.config), FaultOptions(o.config.faults)}));
    if (!o.config.device.empty() && o.com.size() > 1) {
        throw OptionError("--device is one meter: give it one --com at most");
    }
    return o;
}

std::string HelpText()
{
    return Help;
}

} // namespace sim
