// The hash of a document whose kind is chosen at run time, shared by the
// single hash_<kind> entry points and the batch calls.
#pragma once

#include <array>
#include <string_view>
#include <utility>

#include "sdk/src/error.hpp"
#include "sdk/src/hashing/message_hash.hpp"

namespace quillet::sdk {

enum class DocumentKind { transfer, withdraw, limit_order, liquidate, signed_oracle_price };

// Each kind and its name, the <kind> of hash_<kind> and sign_<kind>.
inline constexpr std::array<std::pair<DocumentKind, std::string_view>, 5> kDocumentKinds = {{
    {DocumentKind::transfer, "transfer"},
    {DocumentKind::withdraw, "withdraw"},
    {DocumentKind::limit_order, "limit_order"},
    {DocumentKind::liquidate, "liquidate"},
    {DocumentKind::signed_oracle_price, "signed_oracle_price"},
}};

namespace documents {

// The hash of the JSON document, with the returned errors and hard failures
// of hash_<kind> (lib.hpp); its last squeezes computed by `squeezer` if one
// is given (a batch's deferral).
Result<hashing::HashWords> document_hash(DocumentKind kind, std::string_view json,
                                         poseidon::Squeezer* squeezer = nullptr);

// What sign_<kind> makes of a rejected key text's error: it fails hard for
// a transfer or a withdrawal, and returns the error for the other kinds.
Error rejected_key(DocumentKind kind, Error error);

}  // namespace documents
}  // namespace quillet::sdk
