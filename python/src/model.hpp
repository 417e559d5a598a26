// Records handed to Python as JSON text.
#pragma once

#include <string>

namespace quillet::python::model {

// A public-key text pair: x is the packed key, y the affine x-coordinate of
// the key's point.
struct PublicKey {
  std::string x;
  std::string y;
};

// {"x":"…","y":"…"}
std::string to_json(const PublicKey& key);

}  // namespace quillet::python::model
