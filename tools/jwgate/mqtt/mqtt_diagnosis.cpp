#include "tools/jwgate/mqtt/mqtt_diagnosis.h"

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "tools/jwgate/core/backoff.h"

namespace jwgate {
namespace {

constexpr const char* kVerifyFailed = "certificate verify failed";

// "; retrying every 1 to 30 s", the link's back-off from the settings.
std::string Retrying(const MqttConfig& settings) {
    const Backoff backoff {std::chrono::seconds(settings.reconnectMinSeconds),
                           std::chrono::seconds(settings.reconnectMaxSeconds)};
    return "; retrying " + backoff.Text();
}

// MQTT 3.1.1's 4 and 5, MQTT 5's 134 and 135: bad user name or password,
// not authorised.
bool RefusesCredentials(int reason) { return reason == 4 || reason == 5 || reason == 134 || reason == 135; }

// A failure OpenSSL gave a reason for.
Diagnosis TlsFailure(const MqttConfig& settings, const std::string& detail) {
    const std::string broker = BrokerName(settings);
    std::string what = "the TLS handshake with MQTT broker " + broker + " failed";
    if (detail.starts_with(kVerifyFailed)) {
        what = "the certificate of MQTT broker " + broker + " failed the check";
    } else if (detail.find("alert") != std::string::npos &&
               (detail.find("certificate") != std::string::npos || detail.find("unknown ca") != std::string::npos)) {
        what = "MQTT broker " + broker + " refused the gateway's certificate";
    }
    return {ConnectFailure::kTls, what + " (" + detail + ")" + Retrying(settings)};
}

// libmosquitto turns every TLS failure into EPROTO.
bool EndedInTls(const MqttConfig& settings, const CallResult& end) {
    return end.result == MOSQ_ERR_TLS || end.result == MOSQ_ERR_TLS_HANDSHAKE ||
           (end.result == MOSQ_ERR_ERRNO && end.error == EPROTO && !settings.caFile.empty());
}

}  // namespace

std::string BrokerName(const MqttConfig& settings) { return settings.host + ":" + std::to_string(settings.port); }

Diagnosis DiagnoseRefusal(const MqttConfig& settings, int reason) {
    const bool credentials = RefusesCredentials(reason);
    const char* text = settings.protocol5 ? mosquitto_reason_string(reason) : mosquitto_connack_string(reason);
    return {credentials ? ConnectFailure::kCredentials : ConnectFailure::kNetwork,
            "MQTT broker " + BrokerName(settings) + " refused the " + (credentials ? "credentials" : "connection") +
                ": " + text + Retrying(settings)};
}

// OpenSSL's reason, if it had one, was caught from the library's log. With
// TLS 1.3 the gateway's handshake ends before the broker has looked at its
// certificate: CONNECT goes out, and a refusal comes back as an alert, then
// the connection closes. When the broker closes before the alert has left
// (CONNECT unread in its socket: a reset), the alert is lost and the attempt
// fails with no word from OpenSSL. Such a failure is counted, and logged
// only if no failure with a reason was since the last connection: it is
// most likely that one again.
Diagnosis DiagnoseAttempt(const MqttConfig& settings, const FailedAttempt& attempt) {
    const std::string broker = BrokerName(settings);
    const bool tls = EndedInTls(settings, attempt.end);
    if (!attempt.tlsError.empty()) return TlsFailure(settings, attempt.tlsError);
    if (tls && attempt.tlsReasonLogged) return {ConnectFailure::kTls, ""};
    if (tls) {
        return {ConnectFailure::kTls, "MQTT broker " + broker +
                                          " closed the TLS connection before answering, without a TLS alert (" +
                                          ResultText(attempt.end) + ")" + Retrying(settings)};
    }
    if (attempt.end.result == MOSQ_ERR_KEEPALIVE) {
        // The broker took the TCP connection and never answered CONNECT.
        return {ConnectFailure::kNetwork, "MQTT broker " + broker +
                                              " accepted the connection but sent no CONNACK within " +
                                              std::to_string(settings.keepaliveSeconds) + " s (the keepalive)" +
                                              Retrying(settings)};
    }
    return {ConnectFailure::kNetwork,
            "cannot reach MQTT broker " + broker + " (" + ResultText(attempt.end) + ")" + Retrying(settings)};
}

// libmosquitto tells what OpenSSL refused only in its log, as OpenSSL's
// error string ("OpenSSL Error[0]: error:0A000086:SSL routines::certificate
// verify failed"); a refused client certificate comes as the broker's TLS
// alert ("tlsv13 alert certificate required"). Its own check of the host
// name, where it makes one, comes as a line before.
LibraryLogNote ReadLibraryLog(const std::string& line) {
    LibraryLogNote note;
    if (line.find("host name verification failed") != std::string::npos) {
        note.hostNameRefused = true;
    } else if (line.starts_with("OpenSSL Error")) {
        note.opensslReason = line.substr(line.rfind(':') + 1);
    }
    return note;
}

bool IsVerifyFailure(const std::string& opensslReason) { return opensslReason == kVerifyFailed; }

std::string TlsReason(const std::string& opensslReason, bool hostNameRefused, const std::string& host,
                      const std::string& verifyResult) {
    if (!IsVerifyFailure(opensslReason)) return opensslReason;
    // Why: unknown authority, expired, not for this host.
    if (hostNameRefused) return opensslReason + ": the certificate is not for " + host;
    if (!verifyResult.empty()) return opensslReason + ": " + verifyResult;
    return opensslReason;
}

std::string ResultText(const CallResult& call) {
    if (call.result == MOSQ_ERR_ERRNO) return std::strerror(call.error);
    // libmosquitto 2.0 has no text of its own for this one.
    if (call.result == MOSQ_ERR_KEEPALIVE) return "no answer within the keepalive";
    return mosquitto_strerror(call.result);
}

}  // namespace jwgate
