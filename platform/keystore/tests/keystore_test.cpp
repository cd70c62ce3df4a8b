// keystore_test.cpp - persisted keys, encryption round trips and random bytes.
#include "platform/keystore/keystore.h"
#include "platform/base/testing/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

class KeyStore : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = platform::testing::MakeTempDir("vn-keystore-");
    setenv("VANTREL_KEYSTORE_DIR", (folder / "keys").c_str(), 1);
    ASSERT_EQ(NCryptOpenStorageProvider(&provider, MS_KEY_STORAGE_PROVIDER, 0), ERROR_SUCCESS);
  }
  void TearDown() override {
    NCryptFreeObject(provider);
  }

  SECURITY_STATUS Create(const wchar_t* name) {
    NCRYPT_KEY_HANDLE key = 0;
    SECURITY_STATUS s = NCryptCreatePersistedKey(provider, &key, NCRYPT_AES_ALGORITHM, name, 0, 0x60);
    if (s != ERROR_SUCCESS) return s;
    DWORD policy = 0;
    s = NCryptSetProperty(key, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<BYTE*>(&policy), sizeof policy,
                          NCRYPT_PERSIST_FLAG | NCRYPT_SILENT_FLAG);
    if (s == ERROR_SUCCESS) s = NCryptFinalizeKey(key, NCRYPT_SILENT_FLAG);
    NCryptFreeObject(key);
    return s;
  }

  NCRYPT_KEY_HANDLE Open(const wchar_t* name) {
    NCRYPT_KEY_HANDLE key = 0;
    EXPECT_EQ(NCryptOpenKey(provider, &key, name, 0, 0x60), ERROR_SUCCESS);
    return key;
  }

  static std::vector<BYTE> Encrypt(NCRYPT_KEY_HANDLE key, const std::string& text) {
    DWORD size = 0;
    EXPECT_EQ(NCryptEncrypt(key, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), nullptr,
                            nullptr, 0, &size, 0x42),
              ERROR_SUCCESS);
    std::vector<BYTE> out(size);
    EXPECT_EQ(NCryptEncrypt(key, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), nullptr,
                            out.data(), size, &size, 0x42),
              ERROR_SUCCESS);
    out.resize(size);
    return out;
  }

  static SECURITY_STATUS Decrypt(NCRYPT_KEY_HANDLE key, const std::vector<BYTE>& data, std::string& text) {
    DWORD size = 0;
    SECURITY_STATUS s = NCryptDecrypt(key, data.data(), static_cast<DWORD>(data.size()), nullptr, nullptr, 0, &size, 0x42);
    if (s != ERROR_SUCCESS) return s;
    std::string out(size, '\0');
    s = NCryptDecrypt(key, data.data(), static_cast<DWORD>(data.size()), nullptr, reinterpret_cast<BYTE*>(out.data()),
                      size, &size, 0x42);
    if (s == ERROR_SUCCESS) text = out.substr(0, size);
    return s;
  }

  std::filesystem::path folder;
  NCRYPT_PROV_HANDLE provider = 0;
};

TEST_F(KeyStore, KeyIsCreatedOnceAsAPrivateFile) {
  NCRYPT_KEY_HANDLE key = 0;
  EXPECT_EQ(NCryptOpenKey(provider, &key, L"Webbridge Sessions", 0, 0x60), NTE_BAD_KEYSET);
  ASSERT_EQ(Create(L"Webbridge Sessions"), ERROR_SUCCESS);
  EXPECT_EQ(Create(L"webbridge sessions"), NTE_EXISTS);  // names ignore case

  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(folder / "keys")) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);  // no temporary left behind
  struct stat st {};
  ASSERT_EQ(stat(files[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 32);
}

TEST_F(KeyStore, RoundTripAcrossHandlesAndRejectsTampering) {
  ASSERT_EQ(Create(L"A"), ERROR_SUCCESS);
  ASSERT_EQ(Create(L"B"), ERROR_SUCCESS);
  NCRYPT_KEY_HANDLE a = Open(L"A");
  const std::vector<BYTE> sealed = Encrypt(a, "0123456789ABCDEF");
  EXPECT_EQ(sealed.size(), 16u + 28u);
  EXPECT_NE(Encrypt(a, "0123456789ABCDEF"), sealed);  // a fresh nonce each time
  NCryptFreeObject(a);

  // A later open of the same name (as the next process would) decrypts.
  NCRYPT_KEY_HANDLE again = Open(L"A");
  std::string text;
  ASSERT_EQ(Decrypt(again, sealed, text), ERROR_SUCCESS);
  EXPECT_EQ(text, "0123456789ABCDEF");

  std::vector<BYTE> flipped = sealed;
  flipped[20] ^= 1;
  const struct {
    const char* name;
    std::vector<BYTE> data;
  } bad[] = {{"flipped bit", flipped},
             {"truncated", std::vector<BYTE>(sealed.begin(), sealed.begin() + 27)},
             {"empty", {}}};
  for (const auto& c : bad) EXPECT_EQ(Decrypt(again, c.data, text), NTE_BAD_DATA) << c.name;
  NCRYPT_KEY_HANDLE b = Open(L"B");
  EXPECT_EQ(Decrypt(b, sealed, text), NTE_BAD_DATA);  // another key
  NCryptFreeObject(b);
  NCryptFreeObject(again);
}

TEST_F(KeyStore, HandleAndParameterErrors) {
  ASSERT_EQ(Create(L"K"), ERROR_SUCCESS);
  NCRYPT_KEY_HANDLE key = Open(L"K");
  DWORD size = 0;
  BYTE small[8];
  const BYTE in[4] = {1, 2, 3, 4};
  EXPECT_EQ(NCryptEncrypt(key, in, 4, nullptr, small, sizeof small, &size, 0x42), NTE_BUFFER_TOO_SMALL);
  EXPECT_EQ(NCryptFreeObject(key), ERROR_SUCCESS);
  EXPECT_EQ(NCryptFreeObject(key), NTE_INVALID_HANDLE);
  EXPECT_EQ(NCryptEncrypt(key, in, 4, nullptr, nullptr, 0, &size, 0x42), NTE_INVALID_HANDLE);

  NCRYPT_PROV_HANDLE other = 0;
  EXPECT_EQ(NCryptOpenStorageProvider(&other, L"Some Other Provider", 0), NTE_NOT_FOUND);
  NCRYPT_KEY_HANDLE des = 0;
  EXPECT_EQ(NCryptCreatePersistedKey(provider, &des, L"DES", L"D", 0, 0x60), NTE_NOT_SUPPORTED);
}

TEST_F(KeyStore, NamesCannotLeaveTheFolder) {
  ASSERT_EQ(Create(L"../../escape"), ERROR_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(folder / "escape.key"));
  size_t count = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder / "keys")) ++count;
  EXPECT_EQ(count, 1u);
}

TEST(Random, VerifyContextGivesFreshBytes) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT));
  BYTE a[16] = {}, b[16] = {};
  ASSERT_TRUE(CryptGenRandom(prov, sizeof a, a));
  ASSERT_TRUE(CryptGenRandom(prov, sizeof b, b));
  EXPECT_NE(std::string(a, a + 16), std::string(b, b + 16));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  HCRYPTPROV named = 0;
  EXPECT_FALSE(CryptAcquireContextW(&named, L"container", nullptr, PROV_RSA_AES, 0));
}

}  // namespace
