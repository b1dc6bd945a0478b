/* The signature a capture cannot avoid, timed with no binding in between:
 * libsodium's crypto_sign_detached of a 32-byte message, called n times in a
 * row. bench/capture_bench.py builds this file into a small shared library
 * and calls it through ctypes once per timed batch, so the cost of the call
 * from Python is spread over the whole batch and stays out of the figure. */
#include <sodium.h>
#include <time.h>

static unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
static unsigned char message[32];
static unsigned char signature[crypto_sign_BYTES];

/* Returns 0 when libsodium is ready and a key pair exists, -1 otherwise. */
int sign_floor_init(void) {
  unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
  if (sodium_init() < 0) return -1;
  crypto_sign_keypair(public_key, secret_key);
  for (unsigned i = 0; i < sizeof message; ++i) message[i] = (unsigned char)i;
  return 0;
}

/* Signs n times; returns the elapsed nanoseconds. */
long long sign_floor_batch(unsigned n) {
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (unsigned i = 0; i < n; ++i) {
    crypto_sign_detached(signature, NULL, message, sizeof message, secret_key);
    message[0] = signature[0]; /* each message depends on the last signature */
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  return (long long)(end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
}
