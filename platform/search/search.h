// search.h - the search index's COM interfaces: search manager, catalogue, query helper.
//
// The search manager (CLSID_CSearchManager) is registered under
// "LocalServer32" and activated in-process (platform/com). Its catalogue
// "SystemIndex" hands out query helpers; a helper turns a user's query and
// its settings into the index's SQL dialect (README.md) and names the
// connection string of the index's OLE DB provider, which runs that SQL.
// Slots follow the Windows declarations; methods nothing here calls are
// placeholders that answer E_NOTIMPL. Strings a helper returns are task
// memory, freed with CoTaskMemFree.
#pragma once

#include "platform/com/com.h"
#include "platform/com/oleauto.h"

// Query syntax of a helper (put_QuerySyntax).
enum SEARCH_QUERY_SYNTAX : int {
  SEARCH_NO_QUERY_SYNTAX = 0,
  SEARCH_ADVANCED_QUERY_SYNTAX = 1,
  SEARCH_NATURAL_QUERY_SYNTAX = 2,
};

// A placeholder slot: declared so that the slots after it keep their numbers.
#define VN_SEARCH_PLACEHOLDER(name) STDMETHOD(name)() PURE

struct ISearchQueryHelper : IUnknown {
  STDMETHOD(get_ConnectionString)(LPWSTR* connection) PURE;  // slot 3
  VN_SEARCH_PLACEHOLDER(put_QueryContentLocale);
  VN_SEARCH_PLACEHOLDER(get_QueryContentLocale);
  VN_SEARCH_PLACEHOLDER(put_QueryKeywordLocale);
  VN_SEARCH_PLACEHOLDER(get_QueryKeywordLocale);
  VN_SEARCH_PLACEHOLDER(put_QueryTermExpansion);
  VN_SEARCH_PLACEHOLDER(get_QueryTermExpansion);
  STDMETHOD(put_QuerySyntax)(SEARCH_QUERY_SYNTAX syntax) PURE;  // slot 10
  STDMETHOD(get_QuerySyntax)(SEARCH_QUERY_SYNTAX* syntax) PURE;
  STDMETHOD(put_QueryContentProperties)(LPCWSTR properties) PURE;  // slot 12
  STDMETHOD(get_QueryContentProperties)(LPWSTR* properties) PURE;
  STDMETHOD(put_QuerySelectColumns)(LPCWSTR columns) PURE;  // slot 14
  STDMETHOD(get_QuerySelectColumns)(LPWSTR* columns) PURE;
  STDMETHOD(put_QueryWhereRestrictions)(LPCWSTR restrictions) PURE;  // slot 16
  STDMETHOD(get_QueryWhereRestrictions)(LPWSTR* restrictions) PURE;
  STDMETHOD(put_QuerySorting)(LPCWSTR sorting) PURE;  // slot 18
  STDMETHOD(get_QuerySorting)(LPWSTR* sorting) PURE;
  STDMETHOD(GenerateSQLFromUserQuery)(LPCWSTR query, LPWSTR* sql) PURE;  // slot 20
  VN_SEARCH_PLACEHOLDER(WriteProperties);
  STDMETHOD(put_QueryMaxResults)(LONG maxResults) PURE;  // slot 22
  STDMETHOD(get_QueryMaxResults)(LONG* maxResults) PURE;
};
VN_DECLARE_IID(ISearchQueryHelper, 0xAB310581, 0xAC80, 0x11D1, 0x8D, 0xF3, 0x00, 0xC0, 0x4F, 0xB6, 0xEF, 0x63)

struct ISearchCatalogManager : IUnknown {
  STDMETHOD(get_Name)(LPWSTR* name) PURE;  // slot 3
  VN_SEARCH_PLACEHOLDER(GetParameter);
  VN_SEARCH_PLACEHOLDER(SetParameter);
  VN_SEARCH_PLACEHOLDER(GetCatalogStatus);
  VN_SEARCH_PLACEHOLDER(Reset);
  VN_SEARCH_PLACEHOLDER(Reindex);
  VN_SEARCH_PLACEHOLDER(ReindexMatchingURLs);
  VN_SEARCH_PLACEHOLDER(ReindexSearchRoot);
  VN_SEARCH_PLACEHOLDER(put_ConnectTimeout);
  VN_SEARCH_PLACEHOLDER(get_ConnectTimeout);
  VN_SEARCH_PLACEHOLDER(put_DataTimeout);
  VN_SEARCH_PLACEHOLDER(get_DataTimeout);
  STDMETHOD(NumberOfItems)(LONG* count) PURE;  // slot 15
  VN_SEARCH_PLACEHOLDER(NumberOfItemsToIndex);
  VN_SEARCH_PLACEHOLDER(URLBeingIndexed);
  VN_SEARCH_PLACEHOLDER(GetURLIndexingState);
  VN_SEARCH_PLACEHOLDER(GetPersistentItemsChangedSink);
  VN_SEARCH_PLACEHOLDER(RegisterViewForNotification);
  VN_SEARCH_PLACEHOLDER(GetItemsChangedSink);
  VN_SEARCH_PLACEHOLDER(UnregisterViewForNotification);
  VN_SEARCH_PLACEHOLDER(SetExtensionClusion);
  VN_SEARCH_PLACEHOLDER(EnumerateExcludedExtensions);
  STDMETHOD(GetQueryHelper)(ISearchQueryHelper** helper) PURE;  // slot 25
  VN_SEARCH_PLACEHOLDER(put_DiacriticSensitivity);
  VN_SEARCH_PLACEHOLDER(get_DiacriticSensitivity);
  VN_SEARCH_PLACEHOLDER(GetCrawlScopeManager);
};
VN_DECLARE_IID(ISearchCatalogManager, 0xAB310581, 0xAC80, 0x11D1, 0x8D, 0xF3, 0x00, 0xC0, 0x4F, 0xB6, 0xEF, 0x50)

struct ISearchManager : IUnknown {
  VN_SEARCH_PLACEHOLDER(GetIndexerVersionStr);  // slot 3
  VN_SEARCH_PLACEHOLDER(GetIndexerVersion);
  VN_SEARCH_PLACEHOLDER(GetParameter);
  VN_SEARCH_PLACEHOLDER(SetParameter);
  VN_SEARCH_PLACEHOLDER(get_ProxyName);
  VN_SEARCH_PLACEHOLDER(get_BypassList);
  VN_SEARCH_PLACEHOLDER(SetProxy);
  STDMETHOD(GetCatalog)(LPCWSTR catalog, ISearchCatalogManager** manager) PURE;  // slot 10
  VN_SEARCH_PLACEHOLDER(get_UserAgent);
  VN_SEARCH_PLACEHOLDER(put_UserAgent);
  VN_SEARCH_PLACEHOLDER(get_UseProxy);
  VN_SEARCH_PLACEHOLDER(get_LocalBypass);
  VN_SEARCH_PLACEHOLDER(get_PortNumber);
};
VN_DECLARE_IID(ISearchManager, 0xAB310581, 0xAC80, 0x11D1, 0x8D, 0xF3, 0x00, 0xC0, 0x4F, 0xB6, 0xEF, 0x69)

inline constexpr CLSID CLSID_CSearchManager = {
    0x7D096C5F, 0xAC08, 0x4F1F, {0xBE, 0xB7, 0x5C, 0x22, 0xC5, 0x17, 0xCE, 0x39}};
// The index's OLE DB provider, named by the helper's connection string.
inline constexpr CLSID CLSID_SearchIndexProvider = {
    0x3B8E5D21, 0x6C4F, 0x4A97, {0x8E, 0x12, 0x5D, 0x0A, 0x9C, 0x47, 0xB3, 0x6E}};
inline constexpr wchar_t kSearchProviderProgId[] = L"Vantrel.SearchIndex.1";
inline constexpr wchar_t kSearchCatalogName[] = L"SystemIndex";
