// keystore.h - persisted machine keys, AES with them, and random bytes, in the Windows shape.
//
// Stands in for the software key storage provider (NCrypt*) and CryptoAPI's
// random bytes (CryptGenRandom). A persisted key is a file of 32 random bytes
// (AES-256), mode 0600, in the folder VANTREL_KEYSTORE_DIR (default
// /var/lib/vantrel/keys), created once under its name and never exported.
// Encryption is AES-256-GCM: the output is a fresh 12-byte nonce, the
// ciphertext and a 16-byte tag, so tampered or foreign data fails to decrypt
// (NTE_BAD_DATA) instead of yielding garbage. Random bytes come from getrandom.
// Results are SECURITY_STATUS values with the Windows codes.
#pragma once

#include "platform/base/errors.h"
#include "platform/base/types.h"

using SECURITY_STATUS = LONG;
using NCRYPT_HANDLE = ULONG_PTR;
using NCRYPT_PROV_HANDLE = ULONG_PTR;
using NCRYPT_KEY_HANDLE = ULONG_PTR;
using HCRYPTPROV = ULONG_PTR;

constexpr SECURITY_STATUS NTE_BAD_DATA = static_cast<SECURITY_STATUS>(0x80090005u);
constexpr SECURITY_STATUS NTE_BAD_FLAGS = static_cast<SECURITY_STATUS>(0x80090009u);
constexpr SECURITY_STATUS NTE_BAD_KEY_STATE = static_cast<SECURITY_STATUS>(0x8009000Bu);
constexpr SECURITY_STATUS NTE_EXISTS = static_cast<SECURITY_STATUS>(0x8009000Fu);
constexpr SECURITY_STATUS NTE_PERM = static_cast<SECURITY_STATUS>(0x80090010u);
constexpr SECURITY_STATUS NTE_NOT_FOUND = static_cast<SECURITY_STATUS>(0x80090011u);
constexpr SECURITY_STATUS NTE_BAD_KEYSET = static_cast<SECURITY_STATUS>(0x80090016u);
constexpr SECURITY_STATUS NTE_FAIL = static_cast<SECURITY_STATUS>(0x80090020u);
constexpr SECURITY_STATUS NTE_INVALID_HANDLE = static_cast<SECURITY_STATUS>(0x80090026u);
constexpr SECURITY_STATUS NTE_INVALID_PARAMETER = static_cast<SECURITY_STATUS>(0x80090027u);
constexpr SECURITY_STATUS NTE_BUFFER_TOO_SMALL = static_cast<SECURITY_STATUS>(0x80090028u);
constexpr SECURITY_STATUS NTE_NOT_SUPPORTED = static_cast<SECURITY_STATUS>(0x80090029u);
constexpr SECURITY_STATUS NTE_BAD_ALGID = static_cast<SECURITY_STATUS>(0x80090008u);

constexpr DWORD NCRYPT_MACHINE_KEY_FLAG = 0x20;
constexpr DWORD NCRYPT_SILENT_FLAG = 0x40;
constexpr DWORD NCRYPT_OVERWRITE_KEY_FLAG = 0x80;
constexpr DWORD NCRYPT_PERSIST_FLAG = 0x80000000u;
constexpr DWORD NCRYPT_PAD_PKCS1_FLAG = 0x2;

#define MS_KEY_STORAGE_PROVIDER L"Microsoft Software Key Storage Provider"
#define NCRYPT_AES_ALGORITHM L"AES"
#define NCRYPT_EXPORT_POLICY_PROPERTY L"Export Policy"

constexpr DWORD PROV_RSA_AES = 24;
constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000u;
constexpr DWORD CRYPT_SILENT = 0x40;

// Only MS_KEY_STORAGE_PROVIDER (or null, its default) opens.
SECURITY_STATUS NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* provider, LPCWSTR providerName, DWORD flags);
// NTE_BAD_KEYSET when no key of that name was persisted.
SECURITY_STATUS NCryptOpenKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, LPCWSTR keyName, DWORD legacyKeySpec,
                              DWORD flags);
// A key to be finalised; only "AES" is supported.
SECURITY_STATUS NCryptCreatePersistedKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, LPCWSTR algorithm,
                                         LPCWSTR keyName, DWORD legacyKeySpec, DWORD flags);
// Only "Export Policy" (a 4-byte value) on a key not yet finalised; keys are
// never exportable whatever it says.
SECURITY_STATUS NCryptSetProperty(NCRYPT_HANDLE object, LPCWSTR property, const BYTE* input, DWORD size, DWORD flags);
// Draws the key and persists it; NTE_EXISTS when the name is taken (unless
// the key was created with NCRYPT_OVERWRITE_KEY_FLAG).
SECURITY_STATUS NCryptFinalizeKey(NCRYPT_KEY_HANDLE key, DWORD flags);
// With a null output, *result is the size needed. paddingInfo must be null;
// NCRYPT_PAD_PKCS1_FLAG is accepted (the authenticated mode needs no padding).
SECURITY_STATUS NCryptEncrypt(NCRYPT_KEY_HANDLE key, const BYTE* input, DWORD inputSize, void* paddingInfo, BYTE* output,
                              DWORD outputSize, DWORD* result, DWORD flags);
SECURITY_STATUS NCryptDecrypt(NCRYPT_KEY_HANDLE key, const BYTE* input, DWORD inputSize, void* paddingInfo, BYTE* output,
                              DWORD outputSize, DWORD* result, DWORD flags);
// Deletes the persisted key and frees the handle.
SECURITY_STATUS NCryptDeleteKey(NCRYPT_KEY_HANDLE key, DWORD flags);
SECURITY_STATUS NCryptFreeObject(NCRYPT_HANDLE object);

// Only verify contexts (no container) are supported; failures set the last error.
BOOL CryptAcquireContextW(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR providerName, DWORD providerType, DWORD flags);
BOOL CryptGenRandom(HCRYPTPROV provider, DWORD length, BYTE* buffer);
BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags);
