// The process's one crypto service: RSA envelope with the PEM key files of
// the working directory, DES under a key derived from a text, SHA-256 as hex
// text, and random strings.
#ifndef KEYREG_SECRETKEY_UNION_H
#define KEYREG_SECRETKEY_UNION_H

#include <string>

class SecretKeyUnion {
public:
    SecretKeyUnion();
    static SecretKeyUnion* getSingleTon();

    char* getSecretKey();
    int rsaEncode(const unsigned char* in, unsigned char* out, int& len);
    int rsaDecode(const unsigned char* in, unsigned char* out, int& len);
    // rsaDecode with implicit rejection: a block that does not decrypt yields
    // a synthetic message, derived from the key and the block, instead of -1,
    // and takes the same time as one that does. -1 only where rsaDecode fails
    // whatever the block (descriptors short, a modulus too large for a
    // request) or would end the process (no key): it never does.
    int rsaDecodeImplicit(const unsigned char* in, unsigned char* out, int& len);
    // The size of one request block: the modulus of the key in private.pem,
    // as rsaDecode would read it now. -1 when there is no usable key, said as
    // rsaDecode says it, with errno EMFILE, ENFILE or ENOMEM for a shortage
    // that passes, and any other value for a key that is missing or unusable.
    int rsaBlockBytes();
    void desEncode(unsigned char* in, unsigned char* out, const char* keyText, int len);
    void desDecode(unsigned char* in, unsigned char* out, const char* keyText, int len);
    std::string getShaValue(char* data, int len);
    std::string getRandString(int n);

    // Frees the keys that the calling thread parsed and keeps, and what the
    // crypto library keeps for it. A thread that must be done with the
    // library before it reports itself gone (a pool worker, which the
    // process's exit waits for) calls it last.
    static void forgetThreadKeys();

    char secretKey[10];
};

#endif
