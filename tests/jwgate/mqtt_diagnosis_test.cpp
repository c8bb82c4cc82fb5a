// What a failed connection to the broker means, as tables: what the link saw
// (libmosquitto's result and errno, OpenSSL's reason from the library's log,
// the broker's CONNACK code) against the line it logs and the reason
// /metrics counts it under.
#include <gtest/gtest.h>

#include <mosquitto.h>

#include <cerrno>
#include <string>

#include "tools/jwgate/mqtt/mqtt_diagnosis.h"

namespace jwgate {
namespace {

const std::string kBroker = "MQTT broker 10.20.0.5:8883";
const std::string kRetrying = "; retrying every 1 to 30 s";

MqttConfig Settings(bool tls, bool protocol5 = false) {
    MqttConfig settings;
    settings.host = "10.20.0.5";
    settings.port = 8883;
    settings.keepaliveSeconds = 30;
    settings.reconnectMinSeconds = 1;
    settings.reconnectMaxSeconds = 30;
    settings.caFile = tls ? "/etc/jwgate/ca.pem" : "";
    settings.protocol5 = protocol5;
    return settings;
}

const char* NameOf(ConnectFailure reason) {
    switch (reason) {
        case ConnectFailure::kNetwork: return "network";
        case ConnectFailure::kTls: return "tls";
        case ConnectFailure::kCredentials: return "credentials";
    }
    return "?";
}

TEST(MqttDiagnosis, EachFailedAttemptHasItsLineAndReason) {
    struct Row {
        bool tls;
        FailedAttempt attempt;
        const char* reason;
        std::string line;  // empty: counted only
    };
    const Row rows[] = {
        {false, {{MOSQ_ERR_ERRNO, ECONNREFUSED}, "", false}, "network",
         "cannot reach " + kBroker + " (Connection refused)" + kRetrying},
        {false, {{MOSQ_ERR_ERRNO, EHOSTUNREACH}, "", false}, "network",
         "cannot reach " + kBroker + " (No route to host)" + kRetrying},
        {false, {{MOSQ_ERR_NO_CONN, 0}, "", false}, "network",
         "cannot reach " + kBroker + " (The client is not currently connected.)" + kRetrying},
        {false, {{MOSQ_ERR_KEEPALIVE, 0}, "", false}, "network",
         kBroker + " accepted the connection but sent no CONNACK within 30 s (the keepalive)" + kRetrying},
        // EPROTO is a TLS failure only on a TLS connection.
        {false, {{MOSQ_ERR_ERRNO, EPROTO}, "", false}, "network", "cannot reach " + kBroker + " (Protocol error)" + kRetrying},
        {true, {{MOSQ_ERR_ERRNO, EPROTO}, "", false}, "tls",
         kBroker + " closed the TLS connection before answering, without a TLS alert (Protocol error)" + kRetrying},
        {true, {{MOSQ_ERR_TLS_HANDSHAKE, 0}, "", false}, "tls",
         kBroker + " closed the TLS connection before answering, without a TLS alert (TLS handshake failed.)" + kRetrying},
        {true, {{MOSQ_ERR_TLS, 0}, "", false}, "tls",
         kBroker + " closed the TLS connection before answering, without a TLS alert (A TLS error occurred.)" + kRetrying},
        // Without a reason after one with a reason since the last connection: counted only.
        {true, {{MOSQ_ERR_ERRNO, EPROTO}, "", true}, "tls", ""},
        {true, {{MOSQ_ERR_TLS, 0}, "", true}, "tls", ""},
        // OpenSSL's reason, whatever the result.
        {true, {{MOSQ_ERR_TLS, 0}, "certificate verify failed: unable to get local issuer certificate", false}, "tls",
         "the certificate of " + kBroker +
             " failed the check (certificate verify failed: unable to get local issuer certificate)" + kRetrying},
        {true, {{MOSQ_ERR_ERRNO, EPROTO}, "certificate verify failed: the certificate is not for 10.20.0.5", true},
         "tls",
         "the certificate of " + kBroker + " failed the check (certificate verify failed: the certificate is not for "
                                           "10.20.0.5)" + kRetrying},
        {true, {{MOSQ_ERR_ERRNO, EPROTO}, "tlsv13 alert certificate required", false}, "tls",
         kBroker + " refused the gateway's certificate (tlsv13 alert certificate required)" + kRetrying},
        {true, {{MOSQ_ERR_TLS, 0}, "tlsv1 alert unknown ca", false}, "tls",
         kBroker + " refused the gateway's certificate (tlsv1 alert unknown ca)" + kRetrying},
        {true, {{MOSQ_ERR_TLS, 0}, "sslv3 alert handshake failure", false}, "tls",
         "the TLS handshake with " + kBroker + " failed (sslv3 alert handshake failure)" + kRetrying},
        {true, {{MOSQ_ERR_TLS, 0}, "wrong version number", false}, "tls",
         "the TLS handshake with " + kBroker + " failed (wrong version number)" + kRetrying},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        const Diagnosis diagnosis = DiagnoseAttempt(Settings(row.tls), row.attempt);
        EXPECT_STREQ(NameOf(diagnosis.reason), row.reason);
        EXPECT_EQ(diagnosis.line, row.line);
    }
    // The back-off the settings give, in every line.
    MqttConfig slow = Settings(false);
    slow.reconnectMinSeconds = 5;
    slow.reconnectMaxSeconds = 600;
    EXPECT_EQ(DiagnoseAttempt(slow, {{MOSQ_ERR_ERRNO, ECONNREFUSED}, "", false}).line,
              "cannot reach " + kBroker + " (Connection refused); retrying every 5 to 600 s");
}

TEST(MqttDiagnosis, EachRefusalHasItsLineAndReason) {
    struct Row {
        bool protocol5;
        int code;
        const char* reason;
        std::string line;
    };
    const Row rows[] = {
        {false, 4, "credentials", kBroker + " refused the credentials: Connection Refused: bad user name or password." + kRetrying},
        {false, 5, "credentials", kBroker + " refused the credentials: Connection Refused: not authorised." + kRetrying},
        {false, 1, "network", kBroker + " refused the connection: Connection Refused: unacceptable protocol version." + kRetrying},
        {false, 2, "network", kBroker + " refused the connection: Connection Refused: identifier rejected." + kRetrying},
        {false, 3, "network", kBroker + " refused the connection: Connection Refused: broker unavailable." + kRetrying},
        {true, 134, "credentials", kBroker + " refused the credentials: Bad User Name or Password" + kRetrying},
        {true, 135, "credentials", kBroker + " refused the credentials: Not authorized" + kRetrying},
        {true, 133, "network", kBroker + " refused the connection: Client Identifier not valid" + kRetrying},
        {true, 136, "network", kBroker + " refused the connection: Server unavailable" + kRetrying},
        {true, 138, "network", kBroker + " refused the connection: Banned" + kRetrying},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        const Diagnosis diagnosis = DiagnoseRefusal(Settings(true, row.protocol5), row.code);
        EXPECT_STREQ(NameOf(diagnosis.reason), row.reason);
        EXPECT_EQ(diagnosis.line, row.line);
    }
}

TEST(MqttDiagnosis, TheLibraryLogGivesOpenSslsReasonAndTheHostNameCheck) {
    struct Row {
        std::string line;
        bool hostNameRefused;
        std::string opensslReason;
    };
    const Row rows[] = {
        {"OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed", false, "certificate verify failed"},
        {"OpenSSL Error[0]: error:0A00045C:SSL routines::tlsv13 alert certificate required", false,
         "tlsv13 alert certificate required"},
        {"Error: host name verification failed.", true, ""},
        {"Error: Connection refused", false, ""},
        {"", false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        const LibraryLogNote note = ReadLibraryLog(row.line);
        EXPECT_EQ(note.hostNameRefused, row.hostNameRefused);
        EXPECT_EQ(note.opensslReason, row.opensslReason);
    }
}

TEST(MqttDiagnosis, AFailedCheckSaysWhy) {
    struct Row {
        std::string opensslReason;
        bool hostNameRefused;
        std::string verifyResult;
        std::string reason;
    };
    const Row rows[] = {
        {"certificate verify failed", true, "ok", "certificate verify failed: the certificate is not for broker.example"},
        {"certificate verify failed", false, "certificate has expired", "certificate verify failed: certificate has expired"},
        {"certificate verify failed", false, "", "certificate verify failed"},
        {"tlsv13 alert certificate required", true, "ok", "tlsv13 alert certificate required"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        EXPECT_EQ(IsVerifyFailure(row.opensslReason), row.opensslReason == "certificate verify failed");
        EXPECT_EQ(TlsReason(row.opensslReason, row.hostNameRefused, "broker.example", row.verifyResult), row.reason);
    }
}

}  // namespace
}  // namespace jwgate
