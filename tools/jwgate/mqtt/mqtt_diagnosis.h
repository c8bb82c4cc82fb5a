// What a failed connection to the MQTT broker means: the line the MQTT link
// logs and the reason /metrics counts it under. Pure functions of what the
// link saw (libmosquitto's result and the errno it left, OpenSSL's reason
// caught from libmosquitto's log, the broker's CONNACK code), so that every
// case reads, and is tested, as a row of a table; the link only gathers the
// facts, counts and logs.
#pragma once

#include <string>

#include "tools/jwgate/config/config.h"

namespace jwgate {

// What one libmosquitto call came to: its result (MOSQ_ERR_*) and the errno
// it left, 0 for none. Taken at once after the call, and passed on as a
// value, never left in errno for a later reader.
struct CallResult {
    int result = 0;  // MOSQ_ERR_SUCCESS
    int error = 0;
    bool ok() const { return result == 0; }
};

// The reasons /metrics counts a failed attempt under.
enum class ConnectFailure { kNetwork, kTls, kCredentials };

struct Diagnosis {
    ConnectFailure reason = ConnectFailure::kNetwork;
    // The warning the link logs (once until the next connection); empty when
    // the attempt is only counted.
    std::string line;
};

// The broker's refusal in its CONNACK: reason is MQTT 3.1.1's return code
// or MQTT 5's reason code.
Diagnosis DiagnoseRefusal(const MqttConfig& settings, int reason);

// An attempt that ended before the broker answered CONNECT.
struct FailedAttempt {
    CallResult end;                // how the attempt ended
    std::string tlsError;          // OpenSSL's reason (TlsReason), empty for none
    bool tlsReasonLogged = false;  // a TLS failure with a reason was logged since the last connection
};
Diagnosis DiagnoseAttempt(const MqttConfig& settings, const FailedAttempt& attempt);

// What one line of libmosquitto's error log says about TLS.
struct LibraryLogNote {
    bool hostNameRefused = false;  // libmosquitto's own check of the host name failed
    std::string opensslReason;     // "certificate verify failed", "tlsv13 alert certificate required"
};
LibraryLogNote ReadLibraryLog(const std::string& line);

// Whether OpenSSL's reason is a failed check of the broker's certificate,
// for which the link also asks OpenSSL why.
bool IsVerifyFailure(const std::string& opensslReason);

// The TLS reason the log gives: OpenSSL's, and for a failed check why,
// either the host name or verifyResult (OpenSSL's text of the check's
// result, e.g. "unable to get local issuer certificate").
std::string TlsReason(const std::string& opensslReason, bool hostNameRefused, const std::string& host,
                      const std::string& verifyResult);

// A libmosquitto result in words; the errno's for MOSQ_ERR_ERRNO.
std::string ResultText(const CallResult& call);

// "host:port", as the log names the broker.
std::string BrokerName(const MqttConfig& settings);

}  // namespace jwgate
