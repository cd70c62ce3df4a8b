// keystore.cpp - key files, the handle table, AES-256-GCM through OpenSSL, getrandom.
//
// Handles are numbers handed out once and looked up in a table, so a stale or
// foreign handle answers NTE_INVALID_HANDLE instead of touching freed memory.
// A key is persisted by writing a temporary file (0600) and linking it to its
// name, so no process ever reads a half-written key and two processes that
// create the same key at once end with one key: the second gets NTE_EXISTS.
#include "platform/keystore/keystore.h"

#include "platform/base/bytes.h"
#include "platform/base/text.h"

#include <openssl/evp.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kKeyBytes = 32;
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;
constexpr ULONG_PTR kRandomProvider = 0x52414E44;  // the one verify context

struct Object {
  bool isKey = false;
  // Keys only:
  std::wstring name;
  bool finalized = false;
  bool overwrite = false;
  std::array<unsigned char, kKeyBytes> material{};
};

// g_lock guards g_objects and g_next.
std::mutex g_lock;
std::map<ULONG_PTR, std::unique_ptr<Object>>& Objects() {
  static auto* objects = new std::map<ULONG_PTR, std::unique_ptr<Object>>();
  return *objects;
}
ULONG_PTR g_next = 1;

ULONG_PTR AddObject(std::unique_ptr<Object> object) {
  std::lock_guard<std::mutex> hold(g_lock);
  const ULONG_PTR handle = g_next++;
  Objects().emplace(handle, std::move(object));
  return handle;
}

bool FillRandom(void* buffer, size_t length) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const ssize_t n = getrandom(p, length, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

std::string KeyFolder() {
  const char* dir = std::getenv("VANTREL_KEYSTORE_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "/var/lib/vantrel/keys";
}

// Names compare without case, as the provider's do; anything but letters and
// digits is escaped so that a name cannot leave the folder.
std::string KeyPath(const std::wstring& name) {
  std::string file;
  for (unsigned char c : platform::Utf8FromWide(platform::ToLower(name))) {
    if (std::isalnum(c) || c == '-' || c == '_') {
      file += static_cast<char>(c);
    } else {
      file += '%';
      file += platform::HexEncode(&c, 1);
    }
  }
  return KeyFolder() + "/" + file + ".key";
}

SECURITY_STATUS FromErrno(int err) {
  if (err == ENOENT || err == ENOTDIR) return NTE_BAD_KEYSET;
  if (err == EACCES || err == EPERM) return NTE_PERM;
  return NTE_FAIL;
}

SECURITY_STATUS ReadKeyFile(const std::wstring& name, std::array<unsigned char, kKeyBytes>& material) {
  const int fd = ::open(KeyPath(name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  size_t done = 0;
  ssize_t n = 0;
  while (done < kKeyBytes && (n = ::read(fd, material.data() + done, kKeyBytes - done)) > 0) done += static_cast<size_t>(n);
  unsigned char extra = 0;
  const bool longer = ::read(fd, &extra, 1) > 0;
  ::close(fd);
  return done == kKeyBytes && !longer ? ERROR_SUCCESS : NTE_BAD_DATA;
}

SECURITY_STATUS WriteKeyFile(const std::wstring& name, const std::array<unsigned char, kKeyBytes>& material,
                             bool overwrite) {
  const std::string folder = KeyFolder();
  ::mkdir(folder.c_str(), 0700);  // an existing folder is fine
  std::string temp = folder + "/.new-XXXXXX";
  const int fd = ::mkstemp(temp.data());  // mode 0600
  if (fd < 0) return FromErrno(errno);
  const bool written = ::write(fd, material.data(), kKeyBytes) == static_cast<ssize_t>(kKeyBytes) && ::fsync(fd) == 0;
  ::close(fd);
  SECURITY_STATUS status = written ? ERROR_SUCCESS : NTE_FAIL;
  const std::string path = KeyPath(name);
  if (status == ERROR_SUCCESS) {
    if (overwrite) {
      if (::rename(temp.c_str(), path.c_str()) != 0) status = FromErrno(errno);
    } else if (::link(temp.c_str(), path.c_str()) != 0) {
      status = errno == EEXIST ? NTE_EXISTS : FromErrno(errno);
    }
  }
  ::unlink(temp.c_str());
  return status;
}

// A copy of a finalised key's material, or the reason there is none.
SECURITY_STATUS KeyMaterial(NCRYPT_KEY_HANDLE key, std::array<unsigned char, kKeyBytes>& material) {
  std::lock_guard<std::mutex> hold(g_lock);
  const auto found = Objects().find(key);
  if (found == Objects().end() || !found->second->isKey) return NTE_INVALID_HANDLE;
  if (!found->second->finalized) return NTE_BAD_KEY_STATE;
  material = found->second->material;
  return ERROR_SUCCESS;
}

bool ProviderExists(NCRYPT_PROV_HANDLE provider) {
  std::lock_guard<std::mutex> hold(g_lock);
  const auto found = Objects().find(provider);
  return found != Objects().end() && !found->second->isKey;
}

bool FlagsAllowed(DWORD flags, DWORD allowed) { return (flags & ~allowed) == 0; }

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

}  // namespace

SECURITY_STATUS NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* provider, LPCWSTR providerName, DWORD flags) {
  if (provider == nullptr) return NTE_INVALID_PARAMETER;
  if (flags != 0) return NTE_BAD_FLAGS;
  if (providerName != nullptr && !platform::EqualsNoCase(providerName, MS_KEY_STORAGE_PROVIDER)) return NTE_NOT_FOUND;
  *provider = AddObject(std::make_unique<Object>());
  return ERROR_SUCCESS;
}

SECURITY_STATUS NCryptOpenKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, LPCWSTR keyName, DWORD legacyKeySpec,
                              DWORD flags) {
  if (key == nullptr || keyName == nullptr || *keyName == L'\0' || legacyKeySpec != 0) return NTE_INVALID_PARAMETER;
  if (!FlagsAllowed(flags, NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG)) return NTE_BAD_FLAGS;
  if (!ProviderExists(provider)) return NTE_INVALID_HANDLE;
  auto object = std::make_unique<Object>();
  object->isKey = true;
  object->name = keyName;
  const SECURITY_STATUS status = ReadKeyFile(object->name, object->material);
  if (status != ERROR_SUCCESS) return status;
  object->finalized = true;
  *key = AddObject(std::move(object));
  return ERROR_SUCCESS;
}

SECURITY_STATUS NCryptCreatePersistedKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, LPCWSTR algorithm,
                                         LPCWSTR keyName, DWORD legacyKeySpec, DWORD flags) {
  if (key == nullptr || algorithm == nullptr || keyName == nullptr || *keyName == L'\0' || legacyKeySpec != 0)
    return NTE_INVALID_PARAMETER;
  if (!FlagsAllowed(flags, NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG | NCRYPT_OVERWRITE_KEY_FLAG))
    return NTE_BAD_FLAGS;
  if (!platform::EqualsNoCase(algorithm, NCRYPT_AES_ALGORITHM)) return NTE_NOT_SUPPORTED;
  if (!ProviderExists(provider)) return NTE_INVALID_HANDLE;
  auto object = std::make_unique<Object>();
  object->isKey = true;
  object->name = keyName;
  object->overwrite = (flags & NCRYPT_OVERWRITE_KEY_FLAG) != 0;
  *key = AddObject(std::move(object));
  return ERROR_SUCCESS;
}

SECURITY_STATUS NCryptSetProperty(NCRYPT_HANDLE object, LPCWSTR property, const BYTE* input, DWORD size, DWORD flags) {
  if (property == nullptr || (input == nullptr && size != 0)) return NTE_INVALID_PARAMETER;
  if (!FlagsAllowed(flags, NCRYPT_PERSIST_FLAG | NCRYPT_SILENT_FLAG)) return NTE_BAD_FLAGS;
  std::lock_guard<std::mutex> hold(g_lock);
  const auto found = Objects().find(object);
  if (found == Objects().end() || !found->second->isKey) return NTE_INVALID_HANDLE;
  if (!platform::EqualsNoCase(property, NCRYPT_EXPORT_POLICY_PROPERTY)) return NTE_NOT_SUPPORTED;
  if (size != sizeof(DWORD)) return NTE_INVALID_PARAMETER;
  if (found->second->finalized) return NTE_BAD_KEY_STATE;
  return ERROR_SUCCESS;
}

SECURITY_STATUS NCryptFinalizeKey(NCRYPT_KEY_HANDLE key, DWORD flags) {
  if (!FlagsAllowed(flags, NCRYPT_SILENT_FLAG)) return NTE_BAD_FLAGS;
  std::wstring name;
  bool overwrite = false;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    const auto found = Objects().find(key);
    if (found == Objects().end() || !found->second->isKey) return NTE_INVALID_HANDLE;
    if (found->second->finalized) return NTE_BAD_KEY_STATE;
    name = found->second->name;
    overwrite = found->second->overwrite;
  }
  std::array<unsigned char, kKeyBytes> material{};
  if (!FillRandom(material.data(), material.size())) return NTE_FAIL;
  const SECURITY_STATUS status = WriteKeyFile(name, material, overwrite);
  if (status != ERROR_SUCCESS) return status;
  std::lock_guard<std::mutex> hold(g_lock);
  const auto found = Objects().find(key);
  if (found == Objects().end()) return NTE_INVALID_HANDLE;
  found->second->material = material;
  found->second->finalized = true;
  return ERROR_SUCCESS;
}

SECURITY_STATUS NCryptEncrypt(NCRYPT_KEY_HANDLE key, const BYTE* input, DWORD inputSize, void* paddingInfo, BYTE* output,
                              DWORD outputSize, DWORD* result, DWORD flags) {
  if (result == nullptr || paddingInfo != nullptr || (input == nullptr && inputSize != 0)) return NTE_INVALID_PARAMETER;
  if (!FlagsAllowed(flags, NCRYPT_SILENT_FLAG | NCRYPT_PAD_PKCS1_FLAG)) return NTE_BAD_FLAGS;
  std::array<unsigned char, kKeyBytes> material{};
  if (const SECURITY_STATUS s = KeyMaterial(key, material); s != ERROR_SUCCESS) return s;
  if (inputSize > 0x7FFFFFFFu - kNonceBytes - kTagBytes) return NTE_INVALID_PARAMETER;
  const DWORD needed = static_cast<DWORD>(inputSize + kNonceBytes + kTagBytes);
  *result = needed;
  if (output == nullptr) return ERROR_SUCCESS;
  if (outputSize < needed) return NTE_BUFFER_TOO_SMALL;

  unsigned char* nonce = output;
  unsigned char* body = output + kNonceBytes;
  if (!FillRandom(nonce, kNonceBytes)) return NTE_FAIL;
  CipherContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int n = 0, tail = 0;
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, material.data(), nonce) != 1 ||
      EVP_EncryptUpdate(ctx.get(), body, &n, input, static_cast<int>(inputSize)) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), body + n, &tail) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, body + inputSize) != 1)
    return NTE_FAIL;
  return ERROR_SUCCESS;
}

SECURITY_STATUS NCryptDecrypt(NCRYPT_KEY_HANDLE key, const BYTE* input, DWORD inputSize, void* paddingInfo, BYTE* output,
                              DWORD outputSize, DWORD* result, DWORD flags) {
  if (result == nullptr || paddingInfo != nullptr || (input == nullptr && inputSize != 0)) return NTE_INVALID_PARAMETER;
  if (!FlagsAllowed(flags, NCRYPT_SILENT_FLAG | NCRYPT_PAD_PKCS1_FLAG)) return NTE_BAD_FLAGS;
  std::array<unsigned char, kKeyBytes> material{};
  if (const SECURITY_STATUS s = KeyMaterial(key, material); s != ERROR_SUCCESS) return s;
  if (inputSize < kNonceBytes + kTagBytes) return NTE_BAD_DATA;
  const DWORD plainSize = static_cast<DWORD>(inputSize - kNonceBytes - kTagBytes);
  *result = plainSize;
  if (output == nullptr) return ERROR_SUCCESS;
  if (outputSize < plainSize) return NTE_BUFFER_TOO_SMALL;

  const unsigned char* nonce = input;
  const unsigned char* body = input + kNonceBytes;
  unsigned char tag[kTagBytes];
  std::memcpy(tag, body + plainSize, kTagBytes);
  CipherContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int n = 0, tail = 0;
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, material.data(), nonce) != 1 ||
      EVP_DecryptUpdate(ctx.get(), output, &n, body, static_cast<int>(plainSize)) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) != 1)
    return NTE_FAIL;
  if (EVP_DecryptFinal_ex(ctx.get(), output + n, &tail) != 1) {
    std::memset(output, 0, plainSize);  // nothing of a forged text leaves
    return NTE_BAD_DATA;
  }
  return ERROR_SUCCESS;
}

SECURITY_STATUS NCryptDeleteKey(NCRYPT_KEY_HANDLE key, DWORD flags) {
  if (!FlagsAllowed(flags, NCRYPT_SILENT_FLAG | NCRYPT_MACHINE_KEY_FLAG)) return NTE_BAD_FLAGS;
  std::wstring name;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    const auto found = Objects().find(key);
    if (found == Objects().end() || !found->second->isKey) return NTE_INVALID_HANDLE;
    name = found->second->name;
    Objects().erase(found);
  }
  return ::unlink(KeyPath(name).c_str()) == 0 ? ERROR_SUCCESS : FromErrno(errno);
}

SECURITY_STATUS NCryptFreeObject(NCRYPT_HANDLE object) {
  std::lock_guard<std::mutex> hold(g_lock);
  return Objects().erase(object) == 1 ? ERROR_SUCCESS : NTE_INVALID_HANDLE;
}

BOOL CryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR, DWORD providerType, DWORD flags) {
  if (provider == nullptr || container != nullptr || (flags & CRYPT_VERIFYCONTEXT) != CRYPT_VERIFYCONTEXT ||
      !FlagsAllowed(flags, CRYPT_VERIFYCONTEXT | CRYPT_SILENT) || providerType != PROV_RSA_AES) {
    SetLastError(static_cast<DWORD>(NTE_BAD_FLAGS));
    return FALSE;
  }
  *provider = kRandomProvider;
  return TRUE;
}

BOOL CryptGenRandom(HCRYPTPROV provider, DWORD length, BYTE* buffer) {
  if (provider != kRandomProvider || (buffer == nullptr && length != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!FillRandom(buffer, length)) {
    SetLastError(platform::Win32FromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD) {
  if (provider != kRandomProvider) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}
