#pragma once

#include <string>

// Sealing with three fixed AES-256-CBC key sets (PKCS #7 padding, a fixed IV per set):
// set 1 for usage reports, set 2 for the test manager link (both ways), set 3 for the stored
// password. Sealing enciphers the text plus its terminating zero byte; opening returns the
// plaintext unchanged (with that zero byte) and throws CryptoPP::Exception on bad input.
// All functions are stateless and may run on any thread.

void KIV1(unsigned char* key, unsigned char* iv);
void KIV2(unsigned char* key, unsigned char* iv);
void KIV3(unsigned char* key, unsigned char* iv);

std::string E1(const std::string& text);
// Opens set 1; only the usage-tracking server needs it (the stand-in test manager).
std::string D1(const std::string& sealed);
std::string E2(const std::string& text);
std::string D2(const std::string& sealed);
std::string E3(const std::string& text);
std::string D3(const std::string& sealed);

// Base64 of E3 of the text; the empty text stays empty.
std::string E3_base64(const std::string& text);
// D3 of the base64-decoded text; the empty text stays empty.
std::string D3_base64(const std::string& text);

extern const std::string base64_chars;

std::string base64_encode(const unsigned char* bytes, unsigned int length);
// Decodes up to the end, the first '=' or the first character outside the alphabet.
std::string base64_decode(const std::string& text);
