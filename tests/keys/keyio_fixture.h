// Shared by the key import and export suites: a GnuPG home for the whole
// test binary, in which each check works in a keyring file of its own.
#pragma once

#include "keys_fixture.h"

#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace keyiotest {

using Bytes = std::vector<std::uint8_t>;

inline std::string text(const Bytes &b) { return std::string(b.begin(), b.end()); }
inline Bytes bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

class GnuPG {
public:
    GnuPG() : home_("qelkeyio") { qeltest::writeFile(home_ / "gpg.conf", "allow-weak-key-signatures\n"); }
    ~GnuPG() { run("gpgconf --homedir " + home_.path() + " --kill all >/dev/null 2>&1"); }

    // gpg's exit status; its standard output in *out. With a keyring name,
    // gpg works in that keyring file alone.
    int gpg(const std::string &args, std::string *out = nullptr, const std::string &keyring = "")
    {
        const std::string ring = keyring.empty() ? "" : " --no-default-keyring --keyring " + (home_ / keyring);
        const int rc = run("gpg --homedir " + home_.path() + ring +
                           " --batch --pinentry-mode loopback --passphrase '' --no-tty --yes " + args + " > " +
                           (home_ / "out.txt") + " 2>" + (home_ / "err.txt"));
        if (out != nullptr)
            *out = qeltest::readFile(home_ / "out.txt");
        return rc;
    }
    std::string put(const std::string &name, const Bytes &b)
    {
        qeltest::writeFile(home_ / name, text(b));
        return home_ / name;
    }
    std::string path(const std::string &name) const { return home_ / name; }
    std::string errors() const { return qeltest::readFile(home_ / "err.txt"); }
    bool available() { return gpg("--version") == 0; }

private:
    static int run(const std::string &command)
    {
        const int rc = std::system(command.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    qeltest::TempDir home_;
};

} // namespace keyiotest
