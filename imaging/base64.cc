#include "imaging/base64.h"

#include <openssl/evp.h>

namespace kex::imaging {

std::string base64(const std::vector<std::uint8_t>& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                      static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

}  // namespace kex::imaging
