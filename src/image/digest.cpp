#include "image/digest.h"

#include <openssl/evp.h>
#include <zlib.h>

namespace porten {

std::string Sha256Hex(const std::vector<uint8_t>& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1) return {};
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned i = 0; i < size; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 15];
  }
  return text;
}

uint32_t Crc32(const std::vector<uint8_t>& bytes) {
  return static_cast<uint32_t>(crc32_z(crc32_z(0, Z_NULL, 0), bytes.data(), bytes.size()));
}

}  // namespace porten
