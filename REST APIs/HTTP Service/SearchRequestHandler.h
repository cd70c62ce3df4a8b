// SearchRequestHandler.h - the "SEARCH" handler file: a query of the search index, streamed as a result.
//
// A SEARCH file holds lines NAME = value ("#" lines are comments). Values
// take "$name" references: a query parameter of exactly that name (its value
// decoded), or one of the listener's "Session$", "Registry$" and
// "Directory$" parameters, which a client can never supply. A
// "$Directory$name" reference stands for the mapped folder, and results
// below it come back as "/name/...". The settings go to the search index's
// query helper (SCOPE, PATH, QUERY, WHERERESTRICTIONS, COMMAND, SYNTAX,
// CONTENTPROPERTIES, SELECTCOLUMNS, SORTING, MAXRESULTS), which generates
// the SQL unless COMMAND gives it; it runs through the connection the helper
// names, and rows naming a folder are left out.
//
// What a client value can do: inside a quoted literal of WHERERESTRICTIONS
// or COMMAND its "'" is doubled, outside one it is a number or becomes a
// literal of its own; in SELECTCOLUMNS and SORTING only identifier
// characters, commas and blanks are kept; SCOPE with PATH never leaves the mapping it starts
// with (".." stops at the mapped folder). MAXRESULTS is clamped to
// kMaxSearchResults. A failing step is logged through LogErrorOnce.
#pragma once

#include "REST APIs/HTTP Service/SQLRequestHandler.h"

#include <map>
#include <memory>
#include <string>

class CSearchQueryRequestHandler : public CSQLRequestInstance {
 public:
  class Response : public CSQLRequestInstance::Response {
   public:
    using CSQLRequestInstance::Response::Response;
  };

  using CSQLRequestInstance::CSQLRequestInstance;
  std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request request,
                                     vantrel::basic_istring<wchar_t> user,
                                     const CParameterMap& parameters) override;
};

// The "SEARCH" factory, registered in the handler factory map at start-up.
std::shared_ptr<CHTTPServer::CRequestHandler> CreateSearchQueryRequestHandler(std::wstring root, std::wstring path);

// The most results a SEARCH file's MAXRESULTS can ask for.
constexpr long kMaxSearchResults = 100000;

// File location ("file:D:/Archive/Docs") -> URL path ("/docs").
using SearchPathMap = std::map<std::wstring, std::wstring>;

// The settings of a handler file (its bytes up to a zero byte), after
// substitution: upper-cased NAME -> value, the first line of a NAME winning.
// query holds the request's query pairs (names as written, values encoded).
std::map<std::wstring, std::wstring> ReadSearchSettings(const std::string& bytes,
                                                        const std::map<std::wstring, std::wstring>& query,
                                                        const CParameterMap& listener,
                                                        SearchPathMap& paths);

// The where restriction SCOPE (and PATH) give: "AND SCOPE = '...'" with the
// location normalised, kept inside the mapping it starts with.
std::wstring SearchScopeRestriction(const std::wstring& scope, const std::wstring& path, const SearchPathMap& paths);

// S_FALSE when a "file:" column of the row names an existing folder.
HRESULT SkipDirectoryRows(const ColumnLookup& column);
// A result value with its mapped location turned into the URL path.
std::wstring MapResultValue(const SearchPathMap& paths, const wchar_t* text, DBORDINAL ordinal);
