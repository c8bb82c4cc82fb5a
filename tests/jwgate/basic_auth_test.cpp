// The HTTP endpoint's credentials, table by table and in-process: what an
// Authorization header decodes to, the users file and what it refuses, and
// the check against a bcrypt hash.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "tools/jwgate/config/users_file.h"
#include "tools/jwgate/http/basic_auth.h"

namespace jwgate {
// A failure shows the name and password, not bytes.
void PrintTo(const BasicCredentials& credentials, std::ostream* out) {
    *out << '"' << credentials.name << "\" and \"" << credentials.password << '"';
}
}  // namespace jwgate

namespace {

using jwgate::BasicCredentials;

TEST(BasicAuth, HeadersDecodeToANameAndAPasswordOrToNothing) {
    const struct {
        std::string header;
        std::optional<BasicCredentials> credentials;
    } cases[] = {
        {"Basic dXNlcjpwYXNz", BasicCredentials {"user", "pass"}},
        {"Basic dXNlcjpwYXNzMQ==", BasicCredentials {"user", "pass1"}},    // padded
        {"Basic dXNlcjpwYXNzMTI=", BasicCredentials {"user", "pass12"}},
        {"basic dXNlcjpwYXNz", BasicCredentials {"user", "pass"}},         // the scheme in any case
        {"BASIC dXNlcjpwYXNz", BasicCredentials {"user", "pass"}},
        {"Basic dXNlcjpwYTpzcw==", BasicCredentials {"user", "pa:ss"}},    // the first colon splits
        {"Basic dXNlcjo=", BasicCredentials {"user", ""}},                 // an empty password
        {"Basic OnBhc3M=", BasicCredentials {"", "pass"}},                 // an empty name
        {"Basic w6Rubjpww6Rzcw==", BasicCredentials {"\xc3\xa4nn", "p\xc3\xa4ss"}},  // UTF-8
        {"Basic dXNlcjpwYQBzcw==", BasicCredentials {"user", std::string("pa\0ss", 5)}},
        // Not basic, or nothing after it.
        {"Bearer dXNlcjpwYXNz", std::nullopt},
        {"Basic", std::nullopt},
        {"Basic ", std::nullopt},
        {"BasicdXNlcjpwYXNz", std::nullopt},
        {"", std::nullopt},
        // Malformed base64: a length not a multiple of 4, characters outside
        // the alphabet, "=" anywhere but as the last one or two, spaces.
        {"Basic dXNlcjpwYXN", std::nullopt},
        {"Basic dXNlcjpwYXNz!!!!", std::nullopt},
        {"Basic dXNl#jpwYXNz", std::nullopt},
        {"Basic dXNlcjpwYX=z", std::nullopt},
        {"Basic dQ==dQ==", std::nullopt},
        {"Basic d===", std::nullopt},
        {"Basic ====", std::nullopt},
        {"Basic  dXNlcjpwYXN", std::nullopt},
        {"Basic dXNl cjpw", std::nullopt},
        {"Basic dXNlcjpwYXNz\r\n", std::nullopt},
        // Decoded without a colon.
        {"Basic dXNlcnBhc3M=", std::nullopt},
        // Longer than any real header.
        {"Basic " + std::string(4100, 'A'), std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(jwgate::BasicCredentialsOf(c.header), c.credentials) << '"' << c.header << '"';
    }
}

// "secret" at bcrypt's lowest cost (htpasswd -bnBC 4), so that the table runs in milliseconds.
constexpr char kSecretHash[] = "$2y$04$G2028YymK6wROoRL2felNexeE2/dB6p32rc0XMXjHDTeZuLqkAdxq";

TEST(BasicAuth, OnlyAUserWithItsOwnPasswordIsAllowed) {
    jwgate::BasicAuth auth(std::map<std::string, std::string> {{"ann", kSecretHash}});
    const struct {
        const char* header;
        bool allowed;
    } cases[] = {
        {"Basic YW5uOnNlY3JldA==", true},       // ann:secret
        {"basic YW5uOnNlY3JldA==", true},
        {"Basic YW5uOlNlY3JldA==", false},      // ann:Secret
        {"Basic YW5uOnNlY3JldCA=", false},      // ann:"secret "
        {"Basic YW5uOg==", false},              // ann: and no password
        {"Basic Ym9iOnNlY3JldA==", false},      // bob:secret, no such user
        {"Basic QW5uOnNlY3JldA==", false},      // Ann:secret: names are exact
        {"Basic YW5uOnNlY3JldABv", false},      // ann:secret\0o
        {"Basic YW5uOnNlY3JldA", false},        // unpadded
        {"Bearer YW5uOnNlY3JldA==", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(auth.Allows(c.header), c.allowed) << c.header;
        EXPECT_EQ(auth.Allows(c.header), c.allowed) << c.header << ", asked again (remembered)";
    }
}

// A users file in a scratch directory.
class UsersFile : public ::testing::Test {
protected:
    void SetUp() override {
        char scratch[] = "/tmp/jwgate_users_XXXXXX";
        ASSERT_NE(mkdtemp(scratch), nullptr);
        directory_ = scratch;
        path_ = directory_ + "/users";
    }
    void TearDown() override {
        std::remove(path_.c_str());
        rmdir(directory_.c_str());
    }
    std::optional<std::map<std::string, std::string>> Read(const std::string& text, std::string* problem) {
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        if (file == nullptr) return std::nullopt;
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
        return jwgate::ReadUsersFile(path_, problem);
    }

    std::string directory_;
    std::string path_;
};

TEST_F(UsersFile, EachUserOnceWithABcryptHashOrOneProblemNamingItsLine) {
    const std::string y = "$2y$05$" + std::string(53, 'a');
    const std::string b = "$2b$10$" + std::string(53, 'b');
    using Users = std::map<std::string, std::string>;
    const struct {
        std::string text;
        std::optional<Users> users;
        std::string problem;
    } cases[] = {
        {"ann:" + y + "\n", Users {{"ann", y}}, ""},
        {"ann:" + y, Users {{"ann", y}}, ""},                                 // no final newline
        {"ann:" + y + "\r\nbob:" + b + "\r\n", Users {{"ann", y}, {"bob", b}}, ""},  // CRLF
        {"# users\n\nann:" + y + "\n\n# end\n", Users {{"ann", y}}, ""},      // comments, blank lines
        {"", std::nullopt, "names no user"},
        {"# nobody\n\n", std::nullopt, "names no user"},
        {"ann\n", std::nullopt, "line 1: expected name:hash"},                // a user without a hash
        {"ann:" + y + "\n:" + b + "\n", std::nullopt, "line 2: expected name:hash"},
        {"ann:\n", std::nullopt, "line 1: \"ann\" has no bcrypt hash ($2y$ or $2b$, as htpasswd -B writes)"},
        {"ann:secret\n", std::nullopt, "line 1: \"ann\" has no bcrypt hash ($2y$ or $2b$, as htpasswd -B writes)"},
        {"ann:$apr1$abc$def\n", std::nullopt,
         "line 1: \"ann\" has no bcrypt hash ($2y$ or $2b$, as htpasswd -B writes)"},  // htpasswd -m
        {"ann:" + y.substr(0, 59) + "\n", std::nullopt,
         "line 1: \"ann\" has no bcrypt hash ($2y$ or $2b$, as htpasswd -B writes)"},  // cut short
        {"ann:" + y + " \n", std::nullopt,
         "line 1: \"ann\" has no bcrypt hash ($2y$ or $2b$, as htpasswd -B writes)"},  // a space after
        {"ann:" + y + "\nbob:" + b + "\nann:" + b + "\n", std::nullopt, "line 3: \"ann\" is named twice"},
    };
    for (const auto& c : cases) {
        std::string problem;
        EXPECT_EQ(Read(c.text, &problem), c.users) << c.text;
        EXPECT_EQ(problem, c.problem) << c.text;
    }
}

}  // namespace
