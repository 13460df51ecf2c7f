// DES in ECB mode under a key derived from a text: the block code behind the
// crypto service's desEncode and desDecode, which the table library's decoder
// shares. Touches nothing but its buffers.
#ifndef KEYREG_DES_BLOCKS_H
#define KEYREG_DES_BLOCKS_H

// len bytes of in, encoded into out: len / 8 + 1 whole blocks, the last one
// filled up with zero bytes.
void desEncodeBytes(const unsigned char* in, unsigned char* out, const char* keyText, int len);

// len bytes decoded into out, reading whole blocks (len rounded up to 8) of in.
void desDecodeBytes(const unsigned char* in, unsigned char* out, const char* keyText, int len);

#endif
