#include "platform/security/sec_key.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace platform {

SecKeyPtr SecKey::fromEVP(EVP_PKEY* key) {
  if (key == nullptr || EVP_PKEY_up_ref(key) != 1) return nullptr;
  return SecKeyPtr(new SecKey(key));
}

SecKeyPtr SecKey::createWithData(const std::vector<std::uint8_t>& der) {
  if (der.empty() || der.size() > static_cast<std::size_t>(INT32_MAX)) return nullptr;
  const unsigned char* cursor = der.data();
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size()));
  if (key == nullptr) return nullptr;
  if (cursor != der.data() + der.size()) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  return SecKeyPtr(new SecKey(key));
}

SecKey::~SecKey() {
  EVP_PKEY_free(key_);
}

std::vector<std::uint8_t> SecKey::externalRepresentation() const {
  unsigned char* out = nullptr;
  const int length = i2d_PUBKEY(key_, &out);
  if (length <= 0) return {};
  std::vector<std::uint8_t> der(out, out + length);
  OPENSSL_free(out);
  return der;
}

bool SecKey::operator==(const SecKey& other) const {
  return EVP_PKEY_eq(key_, other.key_) == 1;
}

}  // namespace platform
