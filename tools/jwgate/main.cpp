// jwgate: one serial line of JW controllers served to Modbus TCP clients and
// an MQTT broker. Exit codes: 0 after SIGINT/SIGTERM (or a good --check), 64
// usage, 78 configuration, 1 when a server cannot be started or the port
// refuses the line's settings (a port that cannot be opened yet is retried,
// not an exit). --decode-sparkplug prints a Sparkplug B payload as JSON: 65
// for bytes that are not one, 66 for a file that cannot be read.
#include <CLI/CLI.hpp>

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/counters_text.h"
#include "tools/jwgate/gateway.h"
#include "tools/jwgate/core/log.h"
#include "tools/jwgate/mqtt/mqtt_bridge.h"
#include "tools/jwgate/line/plan_report.h"
#include "tools/jwgate/service_notifier.h"
#include "tools/jwgate/sparkplug/payload_json.h"
#include "tools/jwgate/sparkplug/session_report.h"
#include "tools/jwgate/store/message_store.h"
#include "link/link_context.h"

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitConfig = 78;
constexpr int kExitRuntime = 1;
constexpr int kExitData = 65;
constexpr int kExitNoInput = 66;

// The payload in path ("-": standard input) as JSON on standard output.
int DecodeSparkplug(const std::string& path) {
    std::string bytes;
    if (path == "-") {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            jwgate::Log(jwgate::LogLevel::kError, path + ": cannot be read");
            return kExitNoInput;
        }
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    const auto json = jwgate::sparkplug::PayloadJson(bytes);
    if (!json) {
        jwgate::Log(jwgate::LogLevel::kError, (path == "-" ? "standard input" : path) + ": not a Sparkplug B payload");
        return kExitData;
    }
    std::fputs(json->c_str(), stdout);
    return 0;
}

// Publishes on every change of a point (and once a second, or every 100 ms
// while the bridge asks for it) until SIGINT or SIGTERM, which it returns.
// An idle gateway wakes once a second, not ten times.
int WaitForSignal(const sigset_t& signals, jwgate::Gateway& gateway) {
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0) {  // no descriptor to poll: the signals and a tick of 100 ms, as ever
        const timespec tick {0, 100 * 1000 * 1000};
        int signal = -1;
        while (signal < 0) {
            signal = sigtimedwait(&signals, nullptr, &tick);
            gateway.Tick();
        }
        return signal;
    }
    bool soon = true;
    for (;;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {gateway.changeFd(), POLLIN, 0}};
        const int ready = poll(fds, 2, soon ? 100 : 1000);
        signalfd_siginfo info {};
        if (ready > 0 && (fds[0].revents & POLLIN) != 0 && read(signalFd, &info, sizeof info) == sizeof info) {
            close(signalFd);
            return static_cast<int>(info.ssi_signo);
        }
        soon = gateway.Tick();
    }
}

// systemd's watchdog hears from the scan loop, so that a scan held in one
// exchange longer than its interval gets the service restarted.
void LetTheWatchdogWatchTheScan(jwgate::ServiceNotifier& service, const jwgate::GatewayConfig& config,
                                jwgate::Gateway& gateway) {
    const std::chrono::microseconds interval = service.watchdogInterval();
    if (interval.count() == 0) return;
    // Woken every quarter interval to pet every half: a pet is never later
    // than three quarters of the interval while the scan runs.
    gateway.Heartbeat([&service] { service.Pet(); }, interval / 4);
    const std::chrono::milliseconds longest(kel::kMaxAttempts * config.line.linkTimeoutMs);
    if (interval <= longest) {
        jwgate::Log(jwgate::LogLevel::kWarning,
                    "watchdog: its interval (" + std::to_string(interval.count() / 1000) +
                        " ms) is not longer than a silent station holds the line (" +
                        std::to_string(kel::kMaxAttempts) + " x link_timeout_ms = " +
                        std::to_string(longest.count()) + " ms): such a station gets the service restarted");
    }
}

// --check's line on where the messages for the broker wait, and what the
// store's file holds now.
std::string StoreReport(const jwgate::GatewayConfig& config) {
    if (config.store.enabled) return "store: " + jwgate::DescribeStore(config.store) + "\n";
    if (!config.mqtt.enabled) return "store: none (no [mqtt], so nothing waits for a broker)\n";
    return "store: none: at most " + std::to_string(config.mqtt.queueMax) +
           " messages ([mqtt] queue_max) wait in memory for the broker, lost at a restart\n";
}

int Serve(const std::shared_ptr<const jwgate::GatewayConfig>& config) {
    using jwgate::Log;
    using jwgate::LogLevel;
    // Signals are taken by WaitForSignal (a signalfd), never by a handler on some
    // thread in the middle of an exchange.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    jwgate::ServiceNotifier service;
    jwgate::Gateway gateway(config);
    LetTheWatchdogWatchTheScan(service, *config, gateway);
    std::string error;
    if (!gateway.Start(&error)) {
        Log(LogLevel::kError, error);
        return kExitRuntime;
    }
    service.Ready();  // the servers listen
    Log(LogLevel::kInfo, "scanning " + std::to_string(config->points.size()) + " point(s) on " + config->line.port);

    const int signal = WaitForSignal(signals, gateway);
    Log(LogLevel::kInfo, std::string("ending on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    service.Stopping();
    gateway.Stop();
    Log(LogLevel::kInfo, "counters: " + jwgate::CountersText(gateway.Counters()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app {"jwgate: serves one serial line of JW controllers to Modbus TCP clients and an MQTT broker"};
    std::string configPath;
    bool check = false;
    std::string levelName = "info";
    std::string payloadPath;
    auto* configOption = app.add_option("--config", configPath, "configuration file (TOML)");
    app.add_option("--decode-sparkplug", payloadPath, "print the Sparkplug B payload in FILE (- for standard input) as JSON")
        ->option_text("FILE")
        ->excludes(configOption);
    app.add_flag("--check", check, "check the configuration and print the scan plan, without opening the line");
    app.add_option("--log-level", levelName, "error, warning, info or debug (default info)")
        ->check(CLI::IsMember({"error", "warning", "info", "debug"}));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& failure) {
        jwgate::Log(jwgate::LogLevel::kError, std::string(failure.what()) + " (see --help)");
        return kExitUsage;
    }
    jwgate::LogLevel level = jwgate::LogLevel::kInfo;
    jwgate::LogLevelNamed(levelName, &level);
    jwgate::SetLogLevel(level);
    jwgate::TakeDriverMessages();
    if (!payloadPath.empty()) return DecodeSparkplug(payloadPath);
    if (configPath.empty()) {
        jwgate::Log(jwgate::LogLevel::kError, "--config is required (see --help)");
        return kExitUsage;
    }

    jwgate::ConfigError error;
    auto config = jwgate::LoadConfig(configPath, &error);
    if (!config) {
        jwgate::Log(jwgate::LogLevel::kError, error.Text());
        return kExitConfig;
    }
    std::string refusal;
    if (config->mqtt.enabled && !jwgate::MqttBridge::Available(&refusal)) {
        jwgate::Log(jwgate::LogLevel::kError, configPath + ": mqtt: " + refusal);
        return kExitConfig;
    }
    if (check) {
        std::fputs((jwgate::PlanReport(*config) + StoreReport(*config)).c_str(), stdout);
        std::fputs(jwgate::sparkplug::SessionReport(*config).c_str(), stdout);
        return 0;
    }
    return Serve(std::make_shared<const jwgate::GatewayConfig>(std::move(*config)));
}
