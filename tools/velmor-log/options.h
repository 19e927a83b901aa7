#pragma once

#include "record/Reading.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vlog {

// Exit statuses, as --help and the man page list them.
inline constexpr int ExitOk = 0;       // stopped by a signal, --count or --duration
inline constexpr int ExitFailure = 1;  // gave up while logging
inline constexpr int ExitBadInput = 2; // nothing was logged

// One meter's port: a COM number of the COM port map, or a device path.
struct PortChoice {
    unsigned com = 0;
    std::string device;
    // COM1 or the path, as the lines and messages name it.
    std::string Name() const;
};

using record::Format;

// Where and how readings are published to an MQTT broker.
struct MqttOptions {
    bool tls = false; // mqtts://
    std::string host;
    std::uint16_t port = 0;
    std::string ca, cert, key; // files; no CA: the system's
    std::string user;
    std::string passwordFile; // empty: VELMOR_MQTT_PASSWORD, if set
    std::string topic;        // the prefix; empty: velmor/<hostname>
    std::string id;           // the client id; empty: from host and pid
    std::uint64_t queue = 100000;

    // mqtt://host:port, as the messages name the broker.
    std::string Url() const;
};

struct Options {
    std::vector<PortChoice> ports;
    std::uint8_t model = 2; // ModelDranik, as the window starts
    std::chrono::milliseconds interval{100};
    std::chrono::milliseconds timeout{500};
    std::optional<std::uint64_t> count; // lines per meter
    std::optional<std::chrono::milliseconds> duration;
    std::string output; // empty: standard output
    // Lines go to the output; not with --mqtt alone.
    bool toOutput = true;
    Format format = Format::Csv;
    // Setting commands sent first: mode code, voltage and current range index.
    std::optional<std::uint8_t> mode;
    std::optional<std::uint8_t> voltageRange;
    std::optional<std::uint8_t> currentRange;
    std::optional<std::uint64_t> maxErrors;
    std::optional<MqttOptions> mqtt;
    bool quiet = false;
    bool help = false;
    bool version = false;
};

// A port's level in the topics: the COM name or the device's basename,
// with MQTT's separator and wildcards replaced by "_".
std::string PortTopic(const PortChoice& port);

class OptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The command line without the program name. Throws OptionError with a
// message for the user.
Options ParseOptions(const std::vector<std::string>& args);

std::string HelpText();

} // namespace vlog
