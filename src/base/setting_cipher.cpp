#include "base/setting_cipher.h"

#include <cstdint>
#include <vector>

#include "base/blowfish.h"

namespace tulix {
namespace {

// Only the first 8 characters of the phrase make the key; stored texts depend on exactly these.
constexpr std::string_view kKeyPhrase = "lorvanethic tumbrels skate";
constexpr size_t kKeyLength = 8;

// Each byte is stored as two characters, so a block takes this many.
constexpr size_t kCharsPerBlock = 2 * Blowfish::kBlockSize;

const Blowfish& SettingCipher() {
  // A function-local static is built once even when first used by two threads at once.
  static const Blowfish cipher(reinterpret_cast<const uint8_t*>(kKeyPhrase.data()), kKeyLength);
  return cipher;
}

std::string BytesToStoredText(const std::vector<uint8_t>& bytes) {
  std::string stored;
  stored.reserve(2 * bytes.size());
  for (uint8_t byte : bytes) {
    stored.push_back(static_cast<char>('0' + (byte & 0x0F)));
    stored.push_back(static_cast<char>('0' + (byte >> 4)));
  }
  return stored;
}

// Characters outside '0'..'?' are not produced by EncipherSetting; they still give some byte
// (the arithmetic wraps) rather than an error, as a hand-edited registry value may hold them.
std::vector<uint8_t> StoredTextToBytes(std::string_view stored) {
  std::vector<uint8_t> bytes;
  bytes.reserve(stored.size() / 2);
  for (size_t i = 0; i + 1 < stored.size(); i += 2) {
    const auto low = static_cast<uint8_t>(stored[i] - '0');
    const auto high = static_cast<uint8_t>(stored[i + 1] - '0');
    bytes.push_back(static_cast<uint8_t>(low + 16 * high));
  }
  return bytes;
}

}  // namespace

std::string EncipherSetting(std::string_view text) {
  if (text.empty()) {
    return {};
  }
  const size_t padded =
      (text.size() + Blowfish::kBlockSize - 1) / Blowfish::kBlockSize * Blowfish::kBlockSize;
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.resize(padded, 0);
  try {
    SettingCipher().Encrypt(bytes.data(), bytes.size());
  } catch (const Blowfish::Error&) {
    return {};  // cannot happen: the buffer is a non-empty whole number of blocks
  }
  return BytesToStoredText(bytes);
}

std::string DecipherSetting(std::string_view stored) {
  // A length that is not whole blocks was not written by EncipherSetting; rather than guess
  // at a cut-off tail, such a value reads as no text at all.
  if (stored.empty() || stored.size() % kCharsPerBlock != 0) {
    return {};
  }
  std::vector<uint8_t> bytes = StoredTextToBytes(stored);
  try {
    SettingCipher().Decrypt(bytes.data(), bytes.size());
  } catch (const Blowfish::Error&) {
    return {};  // cannot happen: the length was checked above
  }
  size_t end = 0;
  while (end < bytes.size() && bytes[end] != 0) {
    ++end;
  }
  return std::string(bytes.begin(), bytes.begin() + end);
}

}  // namespace tulix
