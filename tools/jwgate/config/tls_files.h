// Checks of the certificate and key files a configuration names, made at
// start and by --check, so that a wrong file is one clear line before
// anything listens or connects, never a handshake that fails later.
#pragma once

#include <string>

namespace jwgate {

// Empty when path is a readable file holding at least one PEM certificate;
// otherwise what is wrong, e.g. "cannot be read: No such file or directory".
std::string CertificateFileProblem(const std::string& path);

// Empty when path is a readable file holding a PEM private key.
std::string KeyFileProblem(const std::string& path);

// Empty when the key in keyPath belongs to the first certificate in certPath
// (both already found sound by the two checks above).
std::string KeyMismatchProblem(const std::string& certPath, const std::string& keyPath);

}  // namespace jwgate
