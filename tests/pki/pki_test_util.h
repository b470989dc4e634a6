// Shared helpers of the toolkit tests: a context over a leak-counting
// allocator, shell commands for the OpenSSL and Python peers, and
// certificates OpenSSL makes at test time in a private directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../asn1/asn1_test_util.h"
#include "qelPKIContextInternal.h"
#include "qelTestHex.h"

namespace pkitest {

using asn1test::Bytes;
using asn1test::hex;

// A toolkit context whose allocations are counted; the destructor checks
// that nothing was left behind.
class Context {
public:
    Context()
    {
        EXPECT_EQ(qelPKIContextNew(&ctx_, &alloc_.base, nullptr, nullptr, nullptr, nullptr), 0);
    }
    ~Context()
    {
        qelPKIContextFree(ctx_);
        EXPECT_TRUE(alloc_.live.empty()) << alloc_.live.size() << " blocks leaked";
    }
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    QELPKIContext *get() const { return ctx_; }
    operator QELPKIContext *() const { return ctx_; }
    ASN1Context *codec() const { return ctx_->codec; }
    asn1test::TestAllocator &allocator() { return alloc_; }

private:
    asn1test::TestAllocator alloc_;
    QELPKIContext *ctx_ = nullptr;
};

using qeltest::toHex;

// Runs a shell command; its standard output, and the exit status in *status.
inline std::string run(const std::string &command, int *status = nullptr)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) {
        if (status != nullptr)
            *status = -1;
        return out;
    }
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int rc = pclose(p);
    if (status != nullptr)
        *status = rc;
    return out;
}

// The OpenSSL command and Python's cryptography are both at hand.
inline bool havePeers()
{
    static const bool found = [] {
        int a = 0, b = 0;
        run("openssl version >/dev/null 2>&1", &a);
        run("python3 -c 'import cryptography' >/dev/null 2>&1", &b);
        return a == 0 && b == 0;
    }();
    return found;
}

inline Bytes fileBytes(const std::string &path)
{
    const std::string s = qeltest::readFile(path);
    return Bytes(s.begin(), s.end());
}

// A private directory where the peers make keys and files; removed with
// the object.
class Workdir {
public:
    Workdir()
    {
        char tmpl[] = "/tmp/pkitestXXXXXX";
        const char *made = mkdtemp(tmpl);
        path_ = made != nullptr ? made : "/tmp";
    }
    ~Workdir() { std::filesystem::remove_all(path_); }
    Workdir(const Workdir &) = delete;
    Workdir &operator=(const Workdir &) = delete;
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    // Runs a command there, its output discarded; the exit status.
    int sh(const std::string &cmd) const
    {
        int status = 0;
        run("cd " + path_ + " && (" + cmd + ") >/dev/null 2>&1", &status);
        return status;
    }
    void write(const std::string &name, const std::uint8_t *data, std::size_t n) const
    {
        FILE *f = std::fopen((*this / name).c_str(), "wb");
        if (f == nullptr)
            return;
        if (n != 0)
            static_cast<void>(std::fwrite(data, 1, n, f));
        std::fclose(f);
    }
    void write(const std::string &name, const Bytes &data) const { write(name, data.data(), data.size()); }
    Bytes read(const std::string &name) const { return fileBytes(*this / name); }

private:
    std::string path_;
};

// A CA (ca.key, ca.pem, ca.der), an end entity it certified with serial 5
// (ee.key, ee.pem, ee.der) and the CA's empty CRL (crl.pem, crl.der).
inline bool makeCAFiles(const Workdir &d, const std::string &eeSubject)
{
    return d.sh("openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -out ca.pem -days 30 -subj /CN=CA && "
                "openssl req -newkey rsa:1024 -nodes -keyout ee.key -out ee.csr -subj '" + eeSubject + "' && "
                "openssl x509 -req -in ee.csr -CA ca.pem -CAkey ca.key -set_serial 5 -days 5 -out ee.pem && "
                "openssl x509 -in ca.pem -outform DER -out ca.der && "
                "openssl x509 -in ee.pem -outform DER -out ee.der && "
                "mkdir -p db && touch db/index && echo 01 > db/crlnumber && "
                "printf '[ca]\\ndefault_ca=c\\n[c]\\ndatabase=db/index\\ncrlnumber=db/crlnumber\\ndefault_md="
                "sha256\\ndefault_crl_days=7\\n' > ca.cnf && "
                "openssl ca -config ca.cnf -gencrl -keyfile ca.key -cert ca.pem -out crl.pem && "
                "openssl crl -in crl.pem -outform DER -out crl.der") == 0;
}

} // namespace pkitest
