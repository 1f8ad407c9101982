#include "platform/digest.h"

#include <openssl/evp.h>

#include <memory>

namespace calendar_mirrow_addin::platform {

std::array<uint8_t, 16> Md5(std::string_view bytes) {
  std::array<uint8_t, 16> digest{};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  unsigned int length = 0;
  const bool ok = context && EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) == 1 &&
                  EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) == 1 &&
                  EVP_DigestFinal_ex(context.get(), digest.data(), &length) == 1 &&
                  length == digest.size();
  // MD5 fails only when memory runs out; the digest is then all zeros rather than partial.
  if (!ok) digest.fill(0);
  return digest;
}

}  // namespace calendar_mirrow_addin::platform
