#include "manager/cryptoprocedures.h"

#include "core/logging.h"

#include <crypto++/aes.h>
#include <crypto++/filters.h>
#include <crypto++/modes.h>

namespace {

constexpr int KeyBytes = 32;
constexpr int IvBytes = 16;

// Key and IV bytes are kept as two halves that are combined at run time, so neither appears
// as one plain run of bytes in the binary.
void Unmask(const unsigned char* a, const unsigned char* b, unsigned char* out, int length)
{
    for (int i = 0; i < length; ++i)
        out[i] = static_cast<unsigned char>(a[i] ^ b[i]);
}

using KeyProvider = void (*)(unsigned char*, unsigned char*);

std::string Seal(KeyProvider provider, const std::string& text)
{
    unsigned char key[KeyBytes];
    unsigned char iv[IvBytes];
    provider(key, iv);
    CryptoPP::AES::Encryption aes(key, KeyBytes);
    CryptoPP::CBC_Mode_ExternalCipher::Encryption cbc(aes, iv);
    std::string sealed;
    CryptoPP::StreamTransformationFilter filter(cbc, new CryptoPP::StringSink(sealed));
    // The terminating zero byte is sealed with the text.
    filter.Put(reinterpret_cast<const CryptoPP::byte*>(text.c_str()), text.size() + 1);
    filter.MessageEnd();
    return sealed;
}

std::string Open(KeyProvider provider, const std::string& sealed)
{
    unsigned char key[KeyBytes];
    unsigned char iv[IvBytes];
    provider(key, iv);
    CryptoPP::AES::Decryption aes(key, KeyBytes);
    CryptoPP::CBC_Mode_ExternalCipher::Decryption cbc(aes, iv);
    std::string text;
    CryptoPP::StreamTransformationFilter filter(cbc, new CryptoPP::StringSink(text));
    filter.Put(reinterpret_cast<const CryptoPP::byte*>(sealed.data()), sealed.size());
    filter.MessageEnd();
    return text;
}

bool IsBase64Char(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// The three key sets, each kept as two masks whose XOR gives the bytes: key = keyA ^ keyB,
// IV = ivA ^ ivB.
struct MaskedKeySet
{
    unsigned char keyA[KeyBytes];
    unsigned char keyB[KeyBytes];
    unsigned char ivA[IvBytes];
    unsigned char ivB[IvBytes];
};

const MaskedKeySet maskedKeySets[3] = {
    {
        {
            0xb6, 0xa7, 0x5c, 0x13, 0x9b, 0x65, 0x70, 0x92,
            0x7d, 0x6b, 0x7e, 0x05, 0x91, 0x43, 0xd7, 0xe6,
            0x7f, 0x9a, 0xe3, 0x7a, 0x93, 0x6f, 0xeb, 0xef,
            0xc6, 0xac, 0xaf, 0x66, 0x5a, 0x4e, 0xba, 0x23,
        },
        {
            0xf7, 0x4b, 0x35, 0x94, 0x95, 0xcd, 0xd2, 0x40,
            0x6c, 0xdc, 0x69, 0xf7, 0x6e, 0xac, 0x48, 0xfd,
            0xb6, 0x49, 0x26, 0x9b, 0x87, 0xb5, 0x95, 0x18,
            0xb2, 0x85, 0x95, 0x59, 0x48, 0x69, 0x52, 0x96,
        },
        {
            0xff, 0x9c, 0x56, 0x26, 0x13, 0x5d, 0x79, 0x03,
            0x15, 0xb0, 0xa9, 0x55, 0x78, 0xbb, 0x84, 0x8b,
        },
        {
            0xf9, 0xf3, 0xbb, 0xdf, 0xc3, 0xf5, 0x6b, 0xce,
            0xaa, 0x27, 0x99, 0xf6, 0x79, 0x7a, 0xf6, 0xab,
        },
    },
    {
        {
            0x8c, 0x5e, 0x9f, 0xd7, 0xb0, 0xb2, 0x23, 0xff,
            0x80, 0xd1, 0x79, 0xe9, 0x01, 0xf9, 0x61, 0x02,
            0x5a, 0xa9, 0xd8, 0xed, 0x6f, 0xdb, 0xa6, 0x7c,
            0x92, 0x3b, 0x6f, 0x52, 0xe1, 0xc1, 0x66, 0x83,
        },
        {
            0x8a, 0x2f, 0x90, 0xb5, 0x68, 0x04, 0x70, 0xec,
            0x9d, 0xca, 0xad, 0xd1, 0x60, 0xe7, 0x4e, 0xd9,
            0x27, 0x54, 0x2d, 0x8f, 0x98, 0x8f, 0xee, 0x75,
            0x81, 0x7c, 0x1e, 0x0f, 0x74, 0xd1, 0xcb, 0x64,
        },
        {
            0x67, 0x2b, 0x37, 0xe2, 0x26, 0x27, 0x19, 0x0b,
            0xe8, 0xc9, 0xf1, 0xab, 0x20, 0xcd, 0x18, 0x6f,
        },
        {
            0x6f, 0xa6, 0x02, 0x73, 0x88, 0x71, 0x20, 0xb9,
            0xe0, 0x81, 0xb6, 0xd0, 0xb7, 0x9b, 0x90, 0x29,
        },
    },
    {
        {
            0x17, 0x47, 0x68, 0xb4, 0xe5, 0x31, 0x20, 0x24,
            0x85, 0xde, 0x1a, 0xdd, 0xb8, 0x93, 0x5a, 0xfc,
            0x11, 0x8e, 0xdb, 0x71, 0xd1, 0xae, 0x29, 0xe4,
            0x00, 0x4b, 0x67, 0x75, 0xf4, 0x3c, 0x56, 0x05,
        },
        {
            0x11, 0xcc, 0x9f, 0xcb, 0x27, 0x45, 0xca, 0xbe,
            0xf9, 0x35, 0x6d, 0x70, 0x17, 0x63, 0x39, 0x1d,
            0x06, 0xa7, 0x87, 0x0a, 0x1a, 0x5d, 0x7e, 0xf6,
            0xed, 0x7a, 0x7d, 0x05, 0xb4, 0x45, 0xaa, 0x34,
        },
        {
            0x9f, 0xc1, 0x0e, 0xa5, 0x1c, 0x3c, 0x5c, 0x3a,
            0xa7, 0x8d, 0x6a, 0x48, 0xe9, 0x2c, 0x88, 0x99,
        },
        {
            0x44, 0xdf, 0xff, 0x90, 0x02, 0x0d, 0x70, 0x90,
            0xfc, 0x79, 0x80, 0xb6, 0x55, 0x93, 0x4c, 0x4c,
        },
    },
};

void UnmaskKeySet(int index, unsigned char* key, unsigned char* iv)
{
    const MaskedKeySet& set = maskedKeySets[index];
    Unmask(set.keyA, set.keyB, key, KeyBytes);
    Unmask(set.ivA, set.ivB, iv, IvBytes);
}

} // namespace

void KIV1(unsigned char* key, unsigned char* iv)
{
    UnmaskKeySet(0, key, iv);
}

void KIV2(unsigned char* key, unsigned char* iv)
{
    UnmaskKeySet(1, key, iv);
}

void KIV3(unsigned char* key, unsigned char* iv)
{
    UnmaskKeySet(2, key, iv);
}

std::string E1(const std::string& text)
{
    TRACE_SCOPE(ModuleCP, TraceLevelRoutine);
    return Seal(KIV1, text);
}

std::string D1(const std::string& sealed)
{
    TRACE_SCOPE(ModuleCP, TraceLevelRoutine);
    return Open(KIV1, sealed);
}

std::string E2(const std::string& text)
{
    TRACE_SCOPE(ModuleCP, TraceLevelRoutine);
    return Seal(KIV2, text);
}

std::string D2(const std::string& sealed)
{
    TRACE_SCOPE(ModuleCP, TraceLevelRoutine);
    return Open(KIV2, sealed);
}

std::string E3(const std::string& text)
{
    TRACE_SCOPE(ModuleCP, TraceLevelRoutine);
    return Seal(KIV3, text);
}

std::string D3(const std::string& sealed)
{
    TRACE_SCOPE(ModuleCP, TraceLevelRoutine);
    return Open(KIV3, sealed);
}

std::string E3_base64(const std::string& text)
{
    if (text.empty())
        return std::string();
    const std::string sealed = E3(text);
    return base64_encode(reinterpret_cast<const unsigned char*>(sealed.data()),
                         static_cast<unsigned int>(sealed.size()));
}

std::string D3_base64(const std::string& text)
{
    if (text.empty())
        return std::string();
    return D3(base64_decode(text));
}

const std::string base64_chars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64_encode(const unsigned char* bytes, unsigned int length)
{
    std::string text;
    text.reserve((length + 2) / 3 * 4);
    unsigned int i = 0;
    for (; i + 3 <= length; i += 3) {
        const unsigned int group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            text += base64_chars[(group >> shift) & 0x3f];
    }
    const unsigned int left = length - i;
    if (left > 0) {
        unsigned int group = bytes[i] << 16;
        if (left == 2)
            group |= bytes[i + 1] << 8;
        text += base64_chars[(group >> 18) & 0x3f];
        text += base64_chars[(group >> 12) & 0x3f];
        text += left == 2 ? base64_chars[(group >> 6) & 0x3f] : '=';
        text += '=';
    }
    return text;
}

std::string base64_decode(const std::string& text)
{
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    unsigned int group = 0;
    int count = 0;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (!IsBase64Char(u))
            break; // '=' and any foreign character end the text
        group = (group << 6) | static_cast<unsigned int>(base64_chars.find(c));
        if (++count == 4) {
            bytes += static_cast<char>((group >> 16) & 0xff);
            bytes += static_cast<char>((group >> 8) & 0xff);
            bytes += static_cast<char>(group & 0xff);
            group = 0;
            count = 0;
        }
    }
    if (count == 2) {
        bytes += static_cast<char>((group >> 4) & 0xff);
    } else if (count == 3) {
        bytes += static_cast<char>((group >> 10) & 0xff);
        bytes += static_cast<char>((group >> 2) & 0xff);
    }
    return bytes;
}
