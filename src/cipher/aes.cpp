// AES-256-ECB over whole streams through OpenSSL's EVP interface.
#include "tbox/cipher.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/raii.h"

namespace {

// Large chunks: stdio then moves them between the caller's streams and the file without copying them
// through its own buffer, and a 256 MiB file takes 4 k reads and writes instead of 256 k.
constexpr size_t kChunk = size_t{64} * 1024;
constexpr size_t kBlock = 16;

using CipherCtx = tbox::Owned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;

// Input chunk and output room (a chunk and two blocks) in one allocation, taken once per call.
struct Buffers {
    unsigned char input[kChunk];
    unsigned char output[kChunk + 2 * kBlock];
};

// The encryption side reports on standard output without the log prefix; decryption logs.
struct Messages {
    void (*init_failed)();
    void (*update_failed)();
    void (*final_failed)();
};

const char *openssl_error_text() {
    // ERR_error_string with NULL would use a shared static buffer.
    thread_local char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return text;
}

const Messages kEncryptMessages = {
    [] { std::printf("EVP_EncryptInit_ex failed:%s\n", openssl_error_text()); },
    [] { std::printf("EVP_EncryptUpdate Failed\n"); },
    [] { std::printf("EVP_EncryptFinal_ex Failed\n"); },
};

const Messages kDecryptMessages = {
    [] { TBOX_LOG(err, "EVP_DecryptInit_ex failed\n"); },
    [] { TBOX_LOG(err, "EVP_DecryptUpdate Failed\n"); },
    [] { TBOX_LOG(err, "EVP_DecryptFinal_ex Failed\n"); },
};

bool write_all(FILE *out, const unsigned char *data, int len) {
    if (len <= 0) return true;
    if (std::fwrite(data, 1, static_cast<size_t>(len), out) == static_cast<size_t>(len)) return true;
    char text[128];
    TBOX_LOG(err, "AES output write error[%s]\n", strerror_r(errno, text, sizeof text));
    return false;
}

// One streaming pass: init, update per chunk, final. `encrypt` selects the direction.
int run_cipher(bool encrypt, const unsigned char *key, FILE *in, FILE *out) {
    const Messages &msg = encrypt ? kEncryptMessages : kDecryptMessages;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    // A NULL key would leave the context keyless, so it is refused like any set-up failure.
    if (!ctx || key == nullptr || in == nullptr || out == nullptr ||
        EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1) {
        msg.init_failed();
        return -1;
    }
    const tbox::Malloced<Buffers> buf(static_cast<Buffers *>(std::malloc(sizeof(Buffers))));
    if (!buf) {
        TBOX_LOG(err, "AES buffer allocation failed\n");
        return -1;
    }
    unsigned char *const output = buf->output;
    for (;;) {
        const size_t got = std::fread(buf->input, 1, kChunk, in);
        if (got == 0) break;
        int produced = 0;
        if (EVP_CipherUpdate(ctx.get(), output, &produced, buf->input, static_cast<int>(got)) != 1) {
            msg.update_failed();
            return -1;
        }
        if (!write_all(out, output, produced)) return -1;
    }
    // A read error is not the end of the data: finishing would pass off a truncated result as whole.
    if (std::ferror(in)) {
        char text[128];
        TBOX_LOG(err, "AES input read error[%s]\n", strerror_r(errno, text, sizeof text));
        return -1;
    }
    int produced = 0;
    if (EVP_CipherFinal_ex(ctx.get(), output, &produced) != 1) {
        msg.final_failed();
        return -1;
    }
    return write_all(out, output, produced) ? 0 : -1;
}

}  // namespace

int Aes256EcbEncrypt(const unsigned char *key, FILE *in, FILE *out) {
    return run_cipher(true, key, in, out);
}

int Aes256EcbDecrypt(const unsigned char *key, FILE *in, FILE *out) {
    return run_cipher(false, key, in, out);
}
