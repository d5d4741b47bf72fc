// The JSON value every folder of the logic reads arguments from and writes results to.
#pragma once

#include <nlohmann/json.hpp>

namespace kex {

using Json = nlohmann::json;  // objects keep their keys sorted at every depth

}  // namespace kex
