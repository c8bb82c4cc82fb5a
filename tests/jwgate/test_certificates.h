// Certificates made for a test with the openssl command, in a scratch
// directory: an authority, a server certificate for localhost and
// 127.0.0.1 and one for another name, a client certificate, and a second
// authority nobody trusts.
#pragma once

#include <string>

#include "jwgate/gateway_process.h"

namespace jwgate::test {

class TestCertificates {
public:
    TestCertificates();
    // False, with error() saying what openssl printed, if one failed.
    bool ready() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // name.pem (certificate) and name.key (key) in the directory: "ca",
    // "server", "wrong_name", "client", "untrusted_ca", "untrusted_server"
    // (a localhost server certificate signed by the untrusted authority).
    std::string Certificate(const std::string& name) const { return directory_.path() + "/" + name + ".pem"; }
    std::string Key(const std::string& name) const { return directory_.path() + "/" + name + ".key"; }
    const ScratchDirectory& directory() const { return directory_; }

private:
    bool Authority(const std::string& name);
    bool Signed(const std::string& name, const std::string& authority, const std::string& altNames);
    bool Run(const std::string& command);

    ScratchDirectory directory_;
    std::string error_;
};

}  // namespace jwgate::test
