// CheckUpgradePkgSignature against keys and signatures made by the openssl command, as release engineers
// make them, and every way a package, signature or key can be wrong.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/log_capture.h"
#include "support/test_bus.h"
#include "tbox/upgrade.h"

namespace {
using namespace tbox::test;

// A status buffer of exactly TBOX_CHECK_STATUS_SIZE bytes followed by a guard the library must not touch.
struct Status {
    Status() : bytes(TBOX_CHECK_STATUS_SIZE + 8, '#') { std::snprintf(bytes.data(), 16, "untouched"); }
    char *get() { return bytes.data(); }
    std::string text() const {
        return bytes.compare(TBOX_CHECK_STATUS_SIZE, 8, "########") == 0 ? bytes.data() : "guard overwritten";
    }
    std::string bytes;
};

constexpr char kOk[] = "upgrade:signature OK";
constexpr char kError[] = "upgrade:signature error";
constexpr char kKeyRefused[] = "upgrade:signature key refused";
constexpr char kUnreadable[] = "upgrade:signature unreadable";
constexpr char kTooLarge[] = "upgrade:signature too large";

// Keys and signatures made by openssl in a temporary directory: "<name>.pem" the private key,
// "<name>.pub" its public key, "<name>.sig" its signature of "pkg" by `openssl dgst -sha256 -sign`.
struct Keys {
    TempDir dir;
    std::string pkg = dir / "pkg";
    std::string path(const std::string &name) const { return dir / name; }
    void make(const std::string &name, const std::string &genpkeyOptions, bool sign = true) {
        const std::string key = dir / name;
        run("openssl genpkey " + genpkeyOptions + " -out " + key + ".pem 2>/dev/null");
        run("openssl pkey -in " + key + ".pem -pubout -out " + key + ".pub");
        if (sign) run("openssl dgst -sha256 -sign " + key + ".pem -out " + key + ".sig " + pkg);
    }
};

int check(const std::string &pkg, const std::string &sig, const std::string &pub, Status &status) {
    return CheckUpgradePkgSignature(pkg.c_str(), sig.c_str(), pub.c_str(), status.get());
}

TEST(Signature, RefusedBeforeTheUpgradeClientIsInitialisedWithTheStatusUntouched) {
    Keys k;
    put(k.pkg, "package");
    k.make("p256", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256");
    Status status;
    EXPECT_EQ(check(k.pkg, k.path("p256.sig"), k.path("p256.pub"), status), -1);
    EXPECT_EQ(status.text(), "untouched");
}

// Every row: package, signature and key files, the result, the status, and a line that must be logged.
TEST(Signature, AcceptsOnlyTheReleaseKeysSignatureOfTheUnchangedPackage) {
    private_bus_address();
    ASSERT_EQ(InitUpgradeClient(), 0);
    Keys k;
    const Bytes package = noise((3 << 20) + 123, 7);  // several read chunks and a partial one
    put(k.pkg, package);
    k.make("rsa2048", "-algorithm RSA -pkeyopt rsa_keygen_bits:2048");
    k.make("rsa3072", "-algorithm RSA -pkeyopt rsa_keygen_bits:3072");
    k.make("p256", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256");
    k.make("other256", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256");
    k.make("rsa1024", "-algorithm RSA -pkeyopt rsa_keygen_bits:1024");
    k.make("p384", "-algorithm EC -pkeyopt ec_paramgen_curve:P-384");
    k.make("k256", "-algorithm EC -pkeyopt ec_paramgen_curve:secp256k1");
    k.make("ed25519", "-algorithm ED25519", false);  // signs no SHA-256 digest: it is refused before one
    const std::string rsaSig = k.path("rsa2048.sig"), ecSig = k.path("p256.sig");
    const std::string rsaPub = k.path("rsa2048.pub"), ecPub = k.path("p256.pub");
    for (const size_t at : {size_t{0}, package.size() / 2, package.size() - 1}) {
        Bytes changed = package;
        changed[at] = static_cast<char>(changed[at] ^ 1);
        put(k.path("changed" + std::to_string(at)), changed);
    }
    const Bytes sig = get(ecSig);
    put(k.path("cut.sig"), sig.substr(0, sig.size() - 1));
    put(k.path("empty.sig"), "");
    put(k.path("limit.sig"), noise(4096, 3));
    put(k.path("over.sig"), noise(4097, 3));
    put(k.path("noise.sig"), noise(10 << 20, 3));
    put(k.path("garbage.pub"), "-----BEGIN PUBLIC KEY-----\nbm90IGEga2V5\n-----END PUBLIC KEY-----\n");
    put(k.path("huge.pub"), get(ecPub) + std::string(16384, '\n'));
    ASSERT_EQ(mkfifo(k.path("fifo").c_str(), 0600), 0);
    const std::string missing = k.path("missing");

    struct Row {
        const char *what;
        std::string pkg, sig, pub;
        const char *status;
        const char *logged;  // a fragment of a line, or ""
    };
    const Row rows[] = {
        {"RSA-2048", k.pkg, rsaSig, rsaPub, kOk, "signature verify ok"},
        {"RSA-3072", k.pkg, k.path("rsa3072.sig"), k.path("rsa3072.pub"), kOk, ""},
        {"EC P-256", k.pkg, ecSig, ecPub, kOk, ""},
        {"another P-256 key", k.pkg, ecSig, k.path("other256.pub"), kError, "signature verify fail"},
        {"another RSA key", k.pkg, rsaSig, k.path("rsa3072.pub"), kError, ""},
        {"RSA signature, EC key", k.pkg, rsaSig, ecPub, kError, ""},
        {"first byte changed", k.path("changed0"), ecSig, ecPub, kError, ""},
        {"middle byte changed", k.path("changed" + std::to_string(package.size() / 2)), rsaSig, rsaPub, kError, ""},
        {"last byte changed", k.path("changed" + std::to_string(package.size() - 1)), ecSig, ecPub, kError, ""},
        {"signature cut", k.pkg, k.path("cut.sig"), ecPub, kError, ""},
        {"signature empty", k.pkg, k.path("empty.sig"), rsaPub, kError, ""},
        {"4096 bytes of noise", k.pkg, k.path("limit.sig"), rsaPub, kError, ""},
        {"4097 bytes of noise", k.pkg, k.path("over.sig"), rsaPub, kTooLarge, "larger than 4096 bytes"},
        {"10 MiB of noise", k.pkg, k.path("noise.sig"), ecPub, kTooLarge, ""},
        {"RSA-1024", k.pkg, k.path("rsa1024.sig"), k.path("rsa1024.pub"), kKeyRefused, "RSA-1024, less than 2048"},
        {"P-384", k.pkg, k.path("p384.sig"), k.path("p384.pub"), kKeyRefused, "curve secp384r1, not P-256"},
        {"secp256k1", k.pkg, k.path("k256.sig"), k.path("k256.pub"), kKeyRefused, "curve secp256k1, not P-256"},
        {"Ed25519", k.pkg, ecSig, k.path("ed25519.pub"), kKeyRefused, "type ED25519 refused"},
        {"a private key", k.pkg, ecSig, k.path("p256.pem"), kKeyRefused, "no PEM public key"},
        {"garbage PEM", k.pkg, ecSig, k.path("garbage.pub"), kKeyRefused, ""},
        {"key over 16 KiB", k.pkg, ecSig, k.path("huge.pub"), kKeyRefused, ""},
        {"package missing", missing, ecSig, ecPub, kUnreadable, "unreadable[No such file or directory]"},
        {"signature missing", k.pkg, missing, ecPub, kUnreadable, ""},
        {"key missing", k.pkg, ecSig, missing, kUnreadable, ""},
        {"package a directory", k.dir.path, ecSig, ecPub, kUnreadable, ""},
        {"package a FIFO", k.path("fifo"), ecSig, ecPub, kUnreadable, ""},
        {"package a device", "/dev/zero", ecSig, ecPub, kUnreadable, ""},
        {"signature a FIFO", k.pkg, k.path("fifo"), ecPub, kUnreadable, ""},
        {"key a directory", k.pkg, ecSig, k.dir.path, kUnreadable, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        LogCapture log;
        // The application's own error stays queued; nothing of ours is left behind it.
        ERR_clear_error();
        ERR_raise(ERR_LIB_USER, 42);
        const unsigned long mine = ERR_peek_error();
        Status status;
        EXPECT_EQ(check(row.pkg, row.sig, row.pub, status), row.status == kOk ? 0 : -1);
        EXPECT_EQ(status.text(), row.status);
        EXPECT_TRUE(log.contains(row.logged)) << row.logged;
        EXPECT_EQ(ERR_get_error(), mine);
        EXPECT_EQ(ERR_get_error(), 0UL);
    }

    const std::string p = k.pkg;
    const char *args[] = {p.c_str(), ecSig.c_str(), ecPub.c_str()};
    for (int null = 0; null < 4; ++null) {
        SCOPED_TRACE(null);
        Status status;
        const auto arg = [&](int i) { return i == null ? nullptr : args[i]; };
        EXPECT_EQ(CheckUpgradePkgSignature(arg(0), arg(1), arg(2), null == 3 ? nullptr : status.get()), -1);
        EXPECT_EQ(status.text(), null == 3 ? "untouched" : "upgrade:signature fail, param error!");
    }
}

}  // namespace
