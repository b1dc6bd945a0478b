# Reading a log as one stream of lines (its pieces, gzip-compressed ones,
# standard input), the record format, and a log's lines as tree leaves: below
# the verifier and the notary, over the transparency formats.
oxa_layer(logread
  PUBLIC oxa_core oxa_tlog
  PRIVATE simdjson::simdjson ZLIB::ZLIB)
