#include "jwgate/test_certificates.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace jwgate::test {
namespace {

const std::string kNewKey = "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";

}  // namespace

TestCertificates::TestCertificates() {
    (void)(Authority("ca") && Authority("untrusted_ca") && Signed("server", "ca", "DNS:localhost,IP:127.0.0.1") &&
           Signed("wrong_name", "ca", "DNS:broker.example") && Signed("client", "ca", "") &&
           Signed("untrusted_server", "untrusted_ca", "DNS:localhost,IP:127.0.0.1"));
}

bool TestCertificates::Authority(const std::string& name) {
    return Run(kNewKey + "-x509 -days 2 -subj /CN=" + name + " -keyout " + Key(name) + " -out " + Certificate(name));
}

bool TestCertificates::Signed(const std::string& name, const std::string& authority, const std::string& altNames) {
    const std::string request = directory_.path() + "/" + name + ".csr";
    const std::string extensions =
        directory_.Write(name + ".ext", altNames.empty() ? "" : "subjectAltName=" + altNames + "\n");
    return Run(kNewKey + "-subj /CN=" + name + " -keyout " + Key(name) + " -out " + request) &&
           Run("openssl x509 -req -days 2 -in " + request + " -CA " + Certificate(authority) + " -CAkey " +
               Key(authority) + " -CAcreateserial -extfile " + extensions + " -out " + Certificate(name));
}

bool TestCertificates::Run(const std::string& command) {
    const std::string output = directory_.path() + "/openssl.out";
    if (std::system((command + " >" + output + " 2>&1").c_str()) == 0) return true;
    std::ostringstream printed;
    printed << std::ifstream(output).rdbuf();
    error_ = command + " failed:\n" + printed.str();
    return false;
}

}  // namespace jwgate::test
