// The Blowfish block cipher (64-bit blocks, 16 rounds, the standard initial P-array and S-boxes),
// used in ECB mode behind the stored-text cipher of the settings.
//
// An object holds one key schedule, built by the constructor from a key of 1 to 56 bytes (a
// longer key is cut to 56). Buffers are enciphered and deciphered in place, 8 bytes at a time;
// each block is read as two 32-bit big-endian halves, left half first, and written back the same
// way. The object owns its schedule and borrows nothing from the caller after construction.
//
// Misuse (an empty key, a buffer that is empty or not a whole number of blocks) throws
// Blowfish::Error. The exception does not leave this subsystem: its callers here catch it or
// never call the class so.
//
// Thread safety: after construction the object is never changed, so Encrypt and Decrypt may
// run on many threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace tulix {

class Blowfish {
 public:
  static constexpr int kRounds = 16;
  static constexpr size_t kBlockSize = 8;
  static constexpr size_t kMaxKeyLength = 56;

  // What a misused cipher throws; what() is "Incorrect key length" or "Incorrect buffer length".
  class Error : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  // Builds the key schedule from keyLength bytes at `key`. Throws Error when keyLength is 0.
  Blowfish(const uint8_t* key, size_t keyLength);

  // Enciphers or deciphers `length` bytes at `buffer` in place, each block on its own (ECB).
  // Throws Error, leaving the buffer untouched, when length is 0 or not a multiple of 8.
  void Encrypt(uint8_t* buffer, size_t length) const;
  void Decrypt(uint8_t* buffer, size_t length) const;

 private:
  uint32_t F(uint32_t x) const;
  void EncryptBlock(uint32_t& left, uint32_t& right) const;
  void DecryptBlock(uint32_t& left, uint32_t& right) const;

  uint32_t m_p[kRounds + 2];
  uint32_t m_s[4][256];
};

}  // namespace tulix
