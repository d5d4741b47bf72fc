#include "main/common/identifiers.h"

#include <uuid/uuid.h>

namespace kex {

std::string newIdentifier() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_upper(uuid, text);
  return text;
}

}  // namespace kex
