#pragma once

#include <cstdint>
#include <memory>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace platform {

class SecKey;
using SecKeyPtr = std::shared_ptr<const SecKey>;

// A public key. Two keys are equal when OpenSSL finds them equal: same algorithm, parameters
// and public value.
class SecKey {
 public:
  // Takes a reference of its own to `key`; none for a null key.
  static SecKeyPtr fromEVP(EVP_PKEY* key);
  // A key from its DER SubjectPublicKeyInfo; none when the bytes are not exactly one.
  static SecKeyPtr createWithData(const std::vector<std::uint8_t>& der);

  ~SecKey();
  SecKey(const SecKey&) = delete;
  SecKey& operator=(const SecKey&) = delete;

  // The DER SubjectPublicKeyInfo.
  std::vector<std::uint8_t> externalRepresentation() const;
  bool operator==(const SecKey& other) const;

  EVP_PKEY* evp() const { return key_; }

 private:
  explicit SecKey(EVP_PKEY* key) : key_(key) {}
  EVP_PKEY* key_;
};

}  // namespace platform
