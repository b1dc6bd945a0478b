/* The hashing a seal cannot avoid, timed with nothing else: SHA-256 of each
 * line of a log held in memory with its 0x00 prefix (the leaves) and the
 * n - 1 inner nodes of 65 bytes each, through the same libcrypto calls the
 * notary makes; and, for comparison, SHA-256 of the same bytes as one
 * stream. bench/notary_bench.py builds this file into a small shared library
 * and calls it through ctypes. CPU time of the calling thread, in ns. */
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <string.h>
#include <time.h>

static long long thread_ns(void) {
  struct timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

/* SHA-256 of `size` bytes as one stream; the digest goes to `out`. */
long long stream_floor(const unsigned char* data, size_t size, unsigned char* out) {
  long long start = thread_ns();
  SHA256_CTX context;
  SHA256_Init(&context);
  SHA256_Update(&context, data, size);
  SHA256_Final(out, &context);
  return thread_ns() - start;
}

/* The RFC 6962 root of the complete lines of `data` goes to `out`. */
long long tree_floor(const unsigned char* data, size_t size, unsigned char* out) {
  static const unsigned char leaf_prefix = 0x00;
  unsigned char frontier[64][SHA256_DIGEST_LENGTH];
  unsigned char node[1 + 2 * SHA256_DIGEST_LENGTH];
  unsigned long long count = 0;
  int height = 0;
  long long start = thread_ns();
  const unsigned char* at = data;
  const unsigned char* end = data + size;
  for (;;) {
    const unsigned char* feed = memchr(at, '\n', (size_t)(end - at));
    if (feed == NULL) break;
    unsigned char carry[SHA256_DIGEST_LENGTH];
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, &leaf_prefix, 1);
    SHA256_Update(&context, at, (size_t)(feed - at));
    SHA256_Final(carry, &context);
    /* Each trailing set bit of the count is a subtree that now has a right sibling. */
    for (unsigned long long n = count; n & 1; n >>= 1) {
      node[0] = 0x01;
      memcpy(node + 1, frontier[--height], SHA256_DIGEST_LENGTH);
      memcpy(node + 1 + SHA256_DIGEST_LENGTH, carry, SHA256_DIGEST_LENGTH);
      SHA256_Init(&context);
      SHA256_Update(&context, node, sizeof node);
      SHA256_Final(carry, &context);
    }
    memcpy(frontier[height++], carry, SHA256_DIGEST_LENGTH);
    ++count;
    at = feed + 1;
  }
  /* The root folds the frontier from the right. */
  if (height > 0) {
    memcpy(out, frontier[height - 1], SHA256_DIGEST_LENGTH);
    for (int i = height - 2; i >= 0; --i) {
      node[0] = 0x01;
      memcpy(node + 1, frontier[i], SHA256_DIGEST_LENGTH);
      memcpy(node + 1 + SHA256_DIGEST_LENGTH, out, SHA256_DIGEST_LENGTH);
      SHA256(node, sizeof node, out);
    }
  }
  return thread_ns() - start;
}
