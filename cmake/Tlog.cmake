# The transparency formats below the verifier, the notary and the witness: the
# RFC 6962 tree and its proofs, its tiles, signed notes and their keys,
# checkpoints and their file, tlog-proofs, cosignatures and trust policies.
# Plain C++ over OpenSSL's SHA-256 and libsodium's Ed25519.
oxa_layer(tlog
  PUBLIC oxa_core OpenSSL::Crypto
  PRIVATE simdjson::simdjson)
