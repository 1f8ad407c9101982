#include "platform/protect.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/posix/private_folder.h"
#include "platform/utf8.h"

namespace calendar_mirrow_addin::platform {

namespace {

// Blob layout: magic, version, description length (32-bit little-endian), description
// (UTF-8), nonce, ciphertext, tag. Everything before the nonce is authenticated as
// associated data, so the description cannot be swapped either.
constexpr char kMagic[4] = {'T', 'W', 'P', 'D'};
constexpr unsigned char kVersion = 1;
constexpr size_t kHeaderFixedSize = sizeof(kMagic) + 1 + 4;
constexpr size_t kKeySize = 32;
constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;
// EVP takes int lengths; larger inputs go through in pieces of this size.
constexpr size_t kPieceSize = 1u << 30;

struct Key {
  unsigned char bytes[kKeySize] = {};
  ~Key() { OPENSSL_cleanse(bytes, sizeof(bytes)); }
};

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

CipherContext NewContext() { return CipherContext(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free); }

// ---- The per-user key file.

enum class KeyRead { kRead, kMissing, kUnusable };
bool ReadExactly(int fd, unsigned char* out, size_t size) {
  while (size > 0) {
    const ssize_t got = read(fd, out, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// A key someone else could have planted, or could have read, protects nothing: such a file
// is refused, with `problem` saying why.
KeyRead ReadKeyFile(const std::string& path, Key* key, std::string* problem) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return KeyRead::kMissing;
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) {
    *problem = "cannot open the key file " + path + ": " + std::strerror(errno);
  } else if (!S_ISREG(info.st_mode) || info.st_size != static_cast<off_t>(kKeySize)) {
    *problem = "the key file " + path + " is damaged";
  } else if (info.st_uid != geteuid()) {
    *problem = "the key file " + path + " belongs to another user";
  } else if ((info.st_mode & 077) != 0) {
    *problem = "the key file " + path + " is open to other users";
  } else if (!ReadExactly(fd, key->bytes, kKeySize)) {
    *problem = "cannot read the key file " + path;
  }
  if (fd >= 0) close(fd);
  return problem->empty() ? KeyRead::kRead : KeyRead::kUnusable;
}

bool WriteAll(int fd, const unsigned char* bytes, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

std::string UniqueTemporaryName(const std::string& path) {
  unsigned char random[8];
  if (RAND_bytes(random, sizeof(random)) != 1) return std::string();
  std::string name = path + ".new-" + std::to_string(getpid()) + "-";
  for (unsigned char byte : random) name += "0123456789abcdef"[byte >> 4];
  return name;
}

// Writes a fresh key beside `path` and links it into place. link() never replaces an
// existing file, so when another process or thread got there first its key stays and
// both end up reading the same one. True when a key file exists afterwards.
bool CreateKeyFile(const std::string& path) {
  const std::string temporary = UniqueTemporaryName(path);
  if (temporary.empty()) return false;
  Key key;
  if (RAND_bytes(key.bytes, kKeySize) != 1) return false;
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // The umask may only narrow the mode, but make it exactly owner read/write anyway.
  bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, key.bytes, kKeySize) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && (link(temporary.c_str(), path.c_str()) == 0 || errno == EEXIST);
  unlink(temporary.c_str());
  return ok;
}

bool LoadOrCreateKey(Key* key, std::string* problem) {
  const std::string folder = posix::ProductConfigFolder();
  if (folder.empty()) {
    *problem = "no configuration folder for the key file";
    return false;
  }
  const std::string path = folder + "/protect.key";
  for (int attempt = 0; attempt < 2; ++attempt) {
    switch (ReadKeyFile(path, key, problem)) {
      case KeyRead::kRead:
        return true;
      case KeyRead::kUnusable:
        // Never replaced: whatever was protected with it would be lost for good.
        return false;
      case KeyRead::kMissing:
        if (!CreateKeyFile(path)) {
          *problem = "cannot create the key file " + path;
          return false;
        }
        break;
    }
  }
  return false;
}

// ---- The blob.

bool MakeHeader(const std::wstring& description, std::string* header) {
  const std::string text = WideToUtf8(description);
  if (text.size() > UINT32_MAX) return false;
  const auto size = static_cast<uint32_t>(text.size());
  header->assign(kMagic, sizeof(kMagic));
  header->push_back(static_cast<char>(kVersion));
  for (int shift = 0; shift < 32; shift += 8) header->push_back(static_cast<char>(size >> shift));
  header->append(text);
  return true;
}

// Length of the header at the start of `blob`, or 0 when it is not a header we know.
size_t HeaderSize(std::string_view blob) {
  if (blob.size() < kHeaderFixedSize || blob.compare(0, sizeof(kMagic), kMagic, 4) != 0 ||
      static_cast<unsigned char>(blob[4]) != kVersion) {
    return 0;
  }
  uint32_t size = 0;
  for (int i = 3; i >= 0; --i) size = (size << 8) | static_cast<unsigned char>(blob[5 + i]);
  if (size > blob.size() - kHeaderFixedSize) return 0;
  return kHeaderFixedSize + size;
}

const unsigned char* Bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}
unsigned char* Bytes(std::string& text) { return reinterpret_cast<unsigned char*>(text.data()); }

// Feeds `in` through the cipher in pieces; `out` (same size) receives the result, or is
// null when `in` is associated data only.
bool Update(EVP_CIPHER_CTX* context, bool encrypt, std::string_view in, unsigned char* out) {
  for (size_t done = 0; done < in.size();) {
    const size_t piece = std::min(kPieceSize, in.size() - done);
    int written = 0;
    const unsigned char* source = Bytes(in) + done;
    unsigned char* target = out ? out + done : nullptr;
    const int ok =
        encrypt ? EVP_EncryptUpdate(context, target, &written, source, static_cast<int>(piece))
                : EVP_DecryptUpdate(context, target, &written, source, static_cast<int>(piece));
    if (ok != 1 || (out != nullptr && static_cast<size_t>(written) != piece)) return false;
    done += piece;
  }
  return true;
}

bool Encrypt(const Key& key, std::string_view header, std::string_view plain, std::string* blob) {
  unsigned char nonce[kNonceSize];
  if (RAND_bytes(nonce, kNonceSize) != 1) return false;
  std::string out(header);
  out.append(reinterpret_cast<const char*>(nonce), kNonceSize);
  const size_t body = out.size();
  out.resize(body + plain.size() + kTagSize);
  CipherContext context = NewContext();
  unsigned char final_block[16];  // GCM writes nothing here; the call only completes the tag.
  int final_size = 0;
  if (!context ||
      EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.bytes, nonce) != 1 ||
      !Update(context.get(), true, header, nullptr) ||
      !Update(context.get(), true, plain, Bytes(out) + body) ||
      EVP_EncryptFinal_ex(context.get(), final_block, &final_size) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagSize,
                          Bytes(out) + body + plain.size()) != 1) {
    return false;
  }
  *blob = std::move(out);
  return true;
}

bool Decrypt(const Key& key, std::string_view blob, size_t header_size, std::string* plain) {
  const std::string_view header = blob.substr(0, header_size);
  const unsigned char* nonce = Bytes(blob) + header_size;
  std::string_view cipher = blob.substr(header_size + kNonceSize);
  std::string tag(cipher.substr(cipher.size() - kTagSize));
  cipher.remove_suffix(kTagSize);
  std::string out(cipher.size(), '\0');
  CipherContext context = NewContext();
  unsigned char final_block[16];
  int final_size = 0;
  const bool ok =
      context &&
      EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.bytes, nonce) == 1 &&
      Update(context.get(), false, header, nullptr) &&
      Update(context.get(), false, cipher, Bytes(out)) &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagSize, Bytes(tag)) == 1 &&
      EVP_DecryptFinal_ex(context.get(), final_block, &final_size) == 1;
  if (!ok) {
    WipeBytes(&out);
    return false;
  }
  *plain = std::move(out);
  return true;
}

}  // namespace

bool ProtectData(std::string_view plain, const std::wstring& description, std::string* blob,
                 std::string* key_problem) {
  std::string header;
  std::string problem;
  Key key;
  if (!LoadOrCreateKey(&key, &problem)) {
    if (key_problem) *key_problem = problem;
    return false;
  }
  return MakeHeader(description, &header) && Encrypt(key, header, plain, blob);
}

bool UnprotectData(std::string_view blob, std::string* plain, std::string* key_problem) {
  const size_t header_size = HeaderSize(blob);
  if (header_size == 0 || blob.size() - header_size < kNonceSize + kTagSize) return false;
  std::string problem;
  Key key;
  if (!LoadOrCreateKey(&key, &problem)) {
    if (key_problem) *key_problem = problem;
    return false;
  }
  return Decrypt(key, blob, header_size, plain);
}

void WipeBytes(std::string* bytes) {
  if (!bytes->empty()) OPENSSL_cleanse(bytes->data(), bytes->size());
  bytes->clear();
}

}  // namespace calendar_mirrow_addin::platform
