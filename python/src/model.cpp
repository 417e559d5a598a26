#include "python/src/model.hpp"

#include "sdk/src/json/writer.hpp"

namespace quillet::python::model {

std::string to_json(const PublicKey& key) {
  return sdk::json::string_object({{"x", key.x}, {"y", key.y}});
}

}  // namespace quillet::python::model
